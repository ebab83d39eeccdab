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
        note = l.doc.error;
        warn = !l.doc.error.empty();
        editing = false;
        ++stamp;  // the page redraws the text only when the stamp moves
        views.set(View::reader, reader);
        return Follow::repaint;
      });
}

Follow DocumentPane::edit() {
  if (path.empty()) return Follow::nothing;
  editing = true;
  note = Lang::pick("editing", "בעריכה");
  warn = false;
  ++stamp;
  return Follow::repaint;
}

Follow DocumentPane::save(const std::string& body) {
  if (path.empty()) return Follow::nothing;
  struct Saved {
    std::string error;
    std::vector<std::string> paths;
  };
  std::string at = path;
  lanes.then(
      [at, body] {
        Saved r{Documents::write(at, body), {}};
        if (r.error.empty()) r.paths = Documents::paths(body);
        return r;
      },
      [this, at, body](Saved r) {
        if (path != at)
          return Follow::nothing;  // closed or replaced meanwhile: the note has no place
        if (r.error.empty()) {
          text = body;
          paths = std::move(r.paths);
          editing = false;
          ++stamp;
          warn = false;
          note = Lang::pick("saved ", "נשמר ") + TimeText::hoursMinutes(Clock::now());
        } else {
          // Still editing, and the stamp stays, so the page keeps the text being typed.
          note = r.error;
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
  return Follow::repaint;
}

nlohmann::json DocumentPane::payload() const {
  if (path.empty()) return nullptr;
  return {{"path", path},   {"name", Text::abbreviateHome(path, Paths::home())},
          {"text", text},   {"editing", editing},
          {"note", note},   {"warn", warn},
          {"stamp", stamp}, {"paths", paths}};
}
