#pragma once
// The document shown in the reader or beside a conversation: its path, its text as loaded,
// the edit mode and the note shown with it. Reading and saving run off the main thread; a
// read that another open or a close has overtaken is dropped. Editing opens only over a
// whole, clean reading, and a save goes over the file only while it is still that reading.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/follow.h"
#include "app/lanes.h"
#include "app/view.h"
#include "library/documents.h"

class DocumentPane {
 public:
  explicit DocumentPane(Lanes& lanes);

  std::string path;  ///< persisted as "docPath"; empty: no document
  std::string text;
  bool editing = false;
  std::string note;                ///< a status note shown with the document
  bool warn = false;               ///< the note is a warning
  int64_t stamp = 0;               ///< raised whenever the page must redraw the document's text
  std::vector<std::string> paths;  ///< existing files named in the text
  Documents::Version version;      ///< the file as read or last saved; unknown: not read whole
  std::string locked;              ///< why the text may not be edited ("" when it may)

  /// The text may be edited and saved back.
  bool editable() const { return locked.empty() && version.known(); }

  /// The document left open by the last run.
  void restore();
  /// Sets the path (persisted).
  void setPath(const std::string& path);

  /// Reads the file into the pane; `reader` shows it on its own (the reader view of `views`).
  void open(const std::string& path, bool reader, Overlays& views);
  /// Edit mode, when the document was read whole and clean; else the note says why not.
  Follow edit();
  /// Saves the text over the file, unless it changed on disk since it was read; on failure
  /// the editor stays open with the reason.
  Follow save(const std::string& text);
  /// Closes the document and the reader.
  Follow close(Overlays& views);

  /// The paint payload's "doc" (null without a document).
  nlohmann::json payload() const;

 private:
  Lanes& lanes;
  uint64_t loads = 0;  ///< opens and closes so far; an older read is stale
};
