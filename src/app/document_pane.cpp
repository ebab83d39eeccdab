#include "app/document_pane.h"

#include "base/clock.h"
#include "base/lang.h"
#include "base/paths.h"
#include "base/settings.h"
#include "base/text.h"
#include "base/timefmt.h"
#include "library/documents.h"

DocumentPane::DocumentPane(Lanes& l) : lanes(l) {}

void DocumentPane::restore() {
  path = Settings::text("docPath");
}

void DocumentPane::setPath(const std::string& p) {
  if (p == path) return;
  path = p;
  Settings::set("docPath", p);
}

void DocumentPane::open(const std::string& given, bool reader, Overlays& views) {
  struct Loaded {
    std::string path;
    Documents::Document doc;
    std::vector<std::string> paths;
  };
  uint64_t load = ++loads;
  lanes.then(
      [given] {
        Loaded l{Documents::expand(given), Documents::read(given), {}};
        l.paths = Documents::paths(l.doc.text);
        return l;
      },
      [this, load, reader, &views](Loaded l) {
        if (load != loads) return Follow::nothing;  // another document was opened, or it was closed
        setPath(l.path);
        text = std::move(l.doc.text);
        paths = std::move(l.paths);
        version = l.doc.version;
        locked = l.doc.error.empty() ? l.doc.locked : l.doc.error;
        // A failed reading shows its error; a text that cannot be edited says why at once.
        note = locked;
        warn = !locked.empty();
        editing = false;
        ++stamp;  // the page redraws the text only when the stamp moves
        views.set(View::reader, reader);
        return Follow::repaint;
      });
}

Follow DocumentPane::edit() {
  if (path.empty()) return Follow::nothing;
  if (!editable()) {
    // An editor over a failed or repaired reading would save that over the file.
    note = locked.empty() ? Lang::pick("The file was not read whole, so it cannot be edited",
                                       "הקובץ לא נקרא במלואו, ולכן אי אפשר לערוך אותו")
                          : locked;
    warn = true;
    return Follow::repaint;
  }
  editing = true;
  note = Lang::pick("editing", "בעריכה");
  warn = false;
  ++stamp;
  return Follow::repaint;
}

Follow DocumentPane::save(const std::string& body) {
  if (path.empty()) return Follow::nothing;
  if (!editable()) return edit();  // says why it may not be saved
  struct Saved {
    Documents::Saved saved;
    std::vector<std::string> paths;
  };
  std::string at = path;
  lanes.then(
      [at, body, loaded = version] {
        Saved r{Documents::save(at, body, loaded), {}};
        if (r.saved.error.empty()) r.paths = Documents::paths(body);
        return r;
      },
      [this, at, body](Saved r) {
        if (path != at)
          return Follow::nothing;  // closed or replaced meanwhile: the note has no place
        const std::string& error = r.saved.error;
        if (error.empty()) {
          text = body;
          version = r.saved.version;
          paths = std::move(r.paths);
          editing = false;
          ++stamp;
          warn = false;
          note = Lang::pick("saved ", "נשמר ") + TimeText::hoursMinutes(Clock::now());
        } else {
          // Still editing, and the stamp stays, so the page keeps the text being typed.
          note = error;
          warn = true;
        }
        return Follow::repaint;
      });
  return Follow::nothing;
}

Follow DocumentPane::close(Overlays& views) {
  ++loads;  // a read still in flight must not reopen it
  views.set(View::reader, false);
  setPath("");
  text.clear();
  paths.clear();
  note.clear();
  warn = false;
  editing = false;
  version = {};
  locked.clear();
  return Follow::repaint;
}

nlohmann::json DocumentPane::payload() const {
  if (path.empty()) return nullptr;
  return {{"path", path},   {"name", Text::abbreviateHome(path, Paths::home())},
          {"text", text},   {"editing", editing},
          {"note", note},   {"warn", warn},
          {"stamp", stamp}, {"paths", paths},
          {"editable", editable()}};
}
