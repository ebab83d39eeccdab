#pragma once
// File operations behind the document pane and attachments: read and save a text file
// (keeping one backup, and only over the very bytes that were read), classify by extension, find paths named in a text, build the
// preview ("asset") of a text, image or PDF, and store pasted files. Stateless: any thread.
// Errors come back as texts in the interface language.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace Documents {

/// "~" or "~/…" with the home folder put in; any other path unchanged.
std::string expand(const std::string& path);

/// "md", "pdf", "image", "text" or "other", by the lower-cased extension.
std::string kind(const std::string& path);

/// What a reading saw of a file: a save goes over the file only while it is still this.
struct Version {
  int64_t size = -1;     ///< bytes; -1 when the file was not read whole
  int64_t modified = 0;  ///< modification time, nanoseconds since the epoch
  std::string hash;      ///< SHA-256 of the bytes, in hex
  bool known() const { return size >= 0 && !hash.empty(); }
  bool operator==(const Version&) const = default;
  /// "size:modified:hash", as the page hands it back with an edited text.
  std::string text() const;
  /// The reverse of `text()`; an unknown version for anything else.
  static Version parse(const std::string& text);
};

/// A text file's content, or why it could not be read: exactly one of the two is
/// non-empty, except that an empty file gives both empty.
struct Document {
  std::string text;
  std::string error;
  /// Why the text, though shown, may not be saved back over the file: it was not valid
  /// UTF-8 (the text shows a repaired reading), it changed while being read, or the user
  /// may not replace the file. "" when it may be edited.
  std::string locked;
  Version version;  ///< the bytes read, when they were read whole
  bool editable() const { return error.empty() && locked.empty() && version.known(); }
};
Document read(const std::string& path);

/// The outcome of a save: the error text, empty on success, and the file as saved.
struct Saved {
  std::string error;
  Version version;
};
/// Saves the text over the file read as `loaded`, first keeping the file's bytes in
/// "‹path›.gib". Refused, leaving the file as it is, when the file is no longer what was
/// read (size, modification time, content), when the user may not replace it (its mode,
/// its owner, its folder) or when no backup can be kept. The new file keeps the old one's
/// mode, owner and group. Never creates a file.
Saved save(const std::string& path, const std::string& text, const Version& loaded);

/// The same rules without the check against a reading: for a caller that has just read
/// the file itself. The error text, empty on success.
std::string write(const std::string& path, const std::string& text);

/// Existing files named in the text (as written there, "~" kept), first-seen order.
std::vector<std::string> paths(const std::string& text);

/// The preview payload of the page's setAsset: "path", "kind", "size", "name", and
/// "text", "src" (a data URL) or "pages" and "shots" (JPEG data URLs), or "error". A text
/// also carries "version" (`Version::text`) when it may be edited, else "locked" (why not).
nlohmann::json asset(const std::string& path);

/// Saves the text over the file read as `version` (`Version::text`), then previews it with
/// "note" ("saved HH:mm") or with the error as "note" and "warn" true.
nlohmann::json saveAsset(const std::string& path, const std::string& text,
                         const std::string& version);

/// Stores a pasted or dropped file (Base64) under ~/.claude/velmo-drops as
/// "yyyyMMdd-HHmmss-‹cleaned name›"; the saved file's path, or "" on failure.
std::string stash(const std::string& base64, const std::string& name);
/// The name a pasted file is stored under, before any collision suffix (pure).
std::string stashName(const std::string& given, double when);

/// Selects the file in the file manager (page message "showInFinder").
bool showInFinder(const std::string& path);
/// Opens the file with its default application (page message "reveal").
bool reveal(const std::string& path);
/// Opens a web or mail address with the default application (page message "openURL").
bool openURL(const std::string& url);

}  // namespace Documents
