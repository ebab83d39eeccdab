// Messages from the page: one dictionary with the name in "act" and its own keys beside it.
// Each name maps to one effect; a name whose subsystem has not landed yet is accepted and
// does nothing. Missing or mistyped keys make a message do nothing, and nothing is ever
// reported back to the page for them. Effects that touch terminals, files or the desktop
// run in the background and come back here on the main thread.

#include <algorithm>
#include <cctype>
#include <optional>
#include <utility>

#include "app/app_delegate.h"
#include "base/lang.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"
#include "base/timefmt.h"
#include "library/commands.h"
#include "library/documents.h"
#include "page/muted.h"
#include "page/panel_chat.h"
#include "sessions/state.h"
#include "terminals/answer.h"
#include "terminals/automation.h"

namespace {

constexpr size_t kPageErrorBytes = 16000;  // one page error line at most; a loop can flood

std::optional<std::string> text(const nlohmann::json& m, const char* key) {
  auto it = m.find(key);
  if (it == m.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::string field(const nlohmann::json& m, const char* key) {
  return text(m, key).value_or("");
}

// An option number as the page sends it: the text it was shown with, or a plain integer.
std::string pickText(const nlohmann::json& m) {
  auto it = m.find("pick");
  if (it == m.end()) return "";
  if (it->is_string()) return it->get<std::string>();
  if (it->is_number_integer()) return std::to_string(it->get<int64_t>());
  return "";
}

// The agent takes a session id as its own argument; anything but a plain id (a leading
// "-" above all) could be read as one of its options.
bool plainSessionID(const std::string& sid) {
  if (sid.empty() || sid.size() > 64 || sid.front() == '-') return false;
  return std::all_of(sid.begin(), sid.end(),
                     [](unsigned char c) { return std::isxdigit(c) || c == '-'; });
}

std::optional<std::string> ttyOf(const std::vector<Terminal>& terminals, const std::string& sid) {
  for (const auto& t : terminals)
    if (t.sessionID == sid && !t.tty.empty()) return t.tty;
  return std::nullopt;
}

std::string savedNote() {
  return Lang::pick("saved ", "נשמר ") + TimeText::hoursMinutes(Clock::now());
}

// One event, one line: a stack trace's line breaks would split it.
std::string oneLine(std::string s) {
  s = Text::replaceAll(std::move(s), "\r\n", "\n");
  std::replace(s.begin(), s.end(), '\r', '\n');
  s = Text::replaceAll(std::move(s), "\n", " \xE2\x86\xB5 ");
  if (s.size() > kPageErrorBytes) s = Text::validUtf8(s.substr(0, kPageErrorBytes)) + "…";
  return s;
}

}  // namespace

const std::vector<AppDelegate::Act>& AppDelegate::acts() {
  static const std::vector<Act> table = {
      {"open", &AppDelegate::openAct},
      {"back", &AppDelegate::backAct},
      {"agents", &AppDelegate::agentsAct},
      {"book", &AppDelegate::bookAct},
      {"works", &AppDelegate::worksAct},
      {"asks", &AppDelegate::asksAct},
      {"spend", &AppDelegate::spendAct},
      {"searchOpen", &AppDelegate::searchOpenAct},
      {"refresh", &AppDelegate::refreshAct},
      {"wakeAll", &AppDelegate::wakeAllAct},
      {"newTerminal", &AppDelegate::newTerminalAct},
      {"restorable", nullptr},  // the restore tool
      {"restoreRun", nullptr},
      {"quick", &AppDelegate::quickAct},
      {"send", &AppDelegate::sendAct},
      {"answerAsk", &AppDelegate::answerAskAct},
      {"answerFree", &AppDelegate::answerFreeAct},
      {"answer", nullptr},  // the questions file
      {"mute", &AppDelegate::muteAct},
      {"rename", nullptr},   // names and titles
      {"relayGo", nullptr},  // hand-off
      {"resume", &AppDelegate::resumeAct},
      {"raise", &AppDelegate::raiseAct},
      {"raiseTty", &AppDelegate::raiseTtyAct},
      {"more", &AppDelegate::moreAct},
      {"step", &AppDelegate::stepAct},
      {"findClear", &AppDelegate::findClearAct},
      {"findHere", &AppDelegate::findHereAct},
      {"search", &AppDelegate::searchAct},
      {"smartSearch", &AppDelegate::smartSearchAct},
      {"showInFinder", &AppDelegate::showInFinderAct},
      {"reveal", &AppDelegate::revealAct},
      {"openURL", &AppDelegate::openURLAct},
      {"openDoc", &AppDelegate::openDocAct},
      {"editDoc", &AppDelegate::editDocAct},
      {"saveDoc", &AppDelegate::saveDocAct},
      {"closeDoc", &AppDelegate::closeDocAct},
      {"asset", &AppDelegate::assetAct},
      {"saveAsset", &AppDelegate::saveAssetAct},
      {"stash", &AppDelegate::stashAct},
      {"pageError", &AppDelegate::pageErrorAct},
      {"log", &AppDelegate::logAct},
  };
  return table;
}

void AppDelegate::receiveText(const std::string& body) {
  receive(nlohmann::json::parse(body, nullptr, false));
}

void AppDelegate::receive(const nlohmann::json& m) {
  if (!m.is_object()) return;
  auto act = text(m, "act");
  if (!act) return;
  const auto& table = acts();
  auto it = std::find_if(table.begin(), table.end(), [&](const Act& a) { return *act == a.name; });
  if (it == table.end() || !it->effect) return;
  try {
    (this->*(it->effect))(m);
  } catch (const std::exception& e) {
    // A message shaped in a way no effect expected must not take the application down.
    Log::note(Lang::pick("page message failed: ", "הודעת הדף נכשלה: ") + *act + " — " + e.what());
  }
}

void AppDelegate::openAct(const Message& m) {
  std::string sid = field(m, "sid");
  if (sid.empty()) return;
  auto find = m.find("find");
  openSession(sid, false, find != m.end() ? *find : nlohmann::json());
}

void AppDelegate::backAct(const Message&) {
  bool* overlays[] = {&s.readerOpen, &s.spendOpen, &s.asksOpen,
                      &s.worksOpen,  &s.bookOpen,  &s.agentsOpen};
  auto open = std::find_if(std::begin(overlays), std::end(overlays), [](bool* f) { return *f; });
  if (open != std::end(overlays)) {
    **open = false;
  } else if (s.searchOpen) {
    setSearchOpen(false);
    setQuery("");
    s.hits = nlohmann::json::array();
  } else if (!s.openSID.empty()) {
    setOpenSID("");
    s.pending.clear();
  }
  repaint();
}

void AppDelegate::agentsAct(const Message&) {
  s.agentsOpen = !s.agentsOpen;
  if (s.agentsOpen) {
    setSearchOpen(false);
    s.bookOpen = s.spendOpen = false;
  }
  repaint();
}

void AppDelegate::bookAct(const Message&) {
  s.bookOpen = !s.bookOpen;
  if (s.bookOpen) setSearchOpen(false);
  repaint();
}

void AppDelegate::worksAct(const Message&) {
  s.worksOpen = !s.worksOpen;
  if (s.worksOpen) {
    setSearchOpen(false);
    s.asksOpen = false;
  }
  repaint();
}

void AppDelegate::asksAct(const Message&) {
  s.asksOpen = !s.asksOpen;
  if (s.asksOpen) {
    setSearchOpen(false);
    s.worksOpen = false;
  }
  repaint();
}

void AppDelegate::spendAct(const Message&) {
  s.spendOpen = !s.spendOpen;
  if (s.spendOpen) {
    setSearchOpen(false);
    s.agentsOpen = s.bookOpen = s.asksOpen = s.worksOpen = false;
    background([src = sources] {
      if (src->refreshSpend) src->refreshSpend();
    });
  }
  repaint();
}

void AppDelegate::searchOpenAct(const Message&) {
  setSearchOpen(true);
  repaint();
}

void AppDelegate::refreshAct(const Message&) {
  refreshNow();
}

void AppDelegate::wakeAllAct(const Message&) {
  wakeAll();
}

void AppDelegate::newTerminalAct(const Message&) {
  newTerminal();
}

void AppDelegate::newTerminal() {
  backgroundThen([] { return Terminals::spawnClaude("", {}); },
                 [](AppDelegate& self, std::string failed) {
                   if (!failed.empty()) self.reportOpenFailure(failed);
                   self.repaint();
                 });
}

void AppDelegate::quickAct(const Message& m) {
  std::string sid = field(m, "sid"), body = field(m, "text");
  if (!sid.empty() && !body.empty()) sendText(sid, body);
}

void AppDelegate::sendAct(const Message& m) {
  std::string body = field(m, "text");
  if (!body.empty() && !s.openSID.empty()) sendText(s.openSID, body);
}

void AppDelegate::sendText(const std::string& sid, const std::string& body) {
  struct Found {
    std::optional<std::string> tty;
    std::vector<Terminal> terminals;
  };
  // The terminal list may need a discovery, so it is looked up off the main thread.
  backgroundThen(
      [src = sources, sid] {
        Found f;
        if (src->terminals) f.terminals = src->terminals();
        f.tty = ttyOf(f.terminals, sid);
        return f;
      },
      [body](AppDelegate& self, Found f) {
        if (!f.tty) {
          self.reportClosedTerminal();
          return;
        }
        self.s.pending.push_back({body, Clock::now()});
        self.repaint();
        std::string tty = *f.tty;
        self.backgroundThen(
            [body, tty, terminals = std::move(f.terminals)] {
              if (!Terminals::send(body, tty, terminals)) return false;
              // A bare command that opens a picker is answered in the terminal itself.
              if (Commands::opensPicker(body)) Terminals::raise(tty, terminals);
              return true;
            },
            [](AppDelegate& self, bool sent) {
              if (!sent) self.reportSendFailure();
            },
            true);
      });
}

void AppDelegate::answerAskAct(const Message& m) {
  std::string tty = field(m, "tty"), pick = pickText(m), free = field(m, "text");
  if (tty.empty() || (pick.empty() && free.empty())) return;
  backgroundThen(
      [tty, pick, free] {
        return !free.empty() ? Terminals::answerFree(free, tty) : Terminals::choose(pick, tty);
      },
      [tty](AppDelegate& self, Terminals::Answered done) {
        if (!done.ok) self.reportSendFailure(done.why, tty);
        self.repaint();
      },
      true);
}

void AppDelegate::answerFreeAct(const Message& m) {
  std::string tty = field(m, "tty"), free = field(m, "text");
  if (tty.empty()) return;
  uint64_t generation = pageGeneration;
  backgroundThen([tty, free] { return Terminals::answerFree(free, tty); },
                 [generation](AppDelegate& self, Terminals::Answered done) {
                   // The button waiting for this belongs to the page that sent it.
                   if (generation == self.pageGeneration)
                     self.callPage("freeDone", {done.ok ? "true" : "false", jsString(done.why)});
                   self.repaint();
                 },
                 true);
}

void AppDelegate::muteAct(const Message& m) {
  std::string sid = field(m, "sid");
  if (sid.empty()) return;
  Muted::set(sid, text(m, "stamp"));
  repaint();
}

void AppDelegate::resumeAct(const Message& m) {
  std::string sid = field(m, "sid");
  if (!plainSessionID(sid)) return;
  backgroundThen(
      [src = sources, sid] {
        std::vector<Terminal> terminals =
            src->terminals ? src->terminals() : std::vector<Terminal>{};
        if (auto tty = ttyOf(terminals, sid)) {
          Terminals::raise(*tty, terminals);
          return std::string();
        }
        auto state = Sessions::state(sid);
        return Terminals::spawnClaude(state ? state->cwd : "", {"--resume", sid});
      },
      [](AppDelegate& self, std::string failed) {
        if (!failed.empty()) self.reportOpenFailure(failed);
        self.repaint();
      });
}

void AppDelegate::raiseAct(const Message& m) {
  // The rack's rows name their terminal; the chat's button means the open conversation's.
  raiseTerminal(field(m, "tty"));
}

void AppDelegate::raiseTerminal(const std::string& given) {
  if (given.empty() && s.openSID.empty()) return;
  background([src = sources, given, sid = s.openSID] {
    std::vector<Terminal> terminals = src->terminals ? src->terminals() : std::vector<Terminal>{};
    std::string tty = given.empty() ? ttyOf(terminals, sid).value_or("") : given;
    if (!tty.empty()) Terminals::raise(tty, terminals);
  });
}

void AppDelegate::raiseTtyAct(const Message& m) {
  std::string tty = field(m, "tty");
  if (!tty.empty()) raiseTerminal(tty);
}

void AppDelegate::moreAct(const Message&) {
  s.chatWant = Panel::nextWant(s.chatWant);
  repaint();
}

void AppDelegate::stepAct(const Message& m) {
  auto by = m.find("by");
  if (by == m.end() || !by->is_number_integer()) return;
  step(by->get<int>());
}

void AppDelegate::findClearAct(const Message&) {
  s.chatFind = nullptr;
}

void AppDelegate::findHereAct(const Message& m) {
  auto raw = text(m, "text");
  if (!raw) return;
  std::string q = Text::trim(*raw);
  s.worksOpen = false;
  setSearchOpen(true);
  setQuery(q);
  callPage("setFind", {jsString(q)});
  if (Text::length(q) >= 2) runSearch(q);
  startSmart(q);
  repaint();
}

void AppDelegate::searchAct(const Message& m) {
  auto raw = text(m, "text");
  if (!raw) return;
  std::string q = Text::trim(*raw);
  setQuery(q);
  if (Text::length(q) >= 2) {
    runSearch(q);
  } else {
    s.hits = s.fileHits = s.titleHits = nlohmann::json::array();
    s.searching = false;
  }
  repaint();
}

void AppDelegate::smartSearchAct(const Message& m) {
  auto raw = text(m, "text");
  if (raw) startSmart(Text::trim(*raw));
}

void AppDelegate::runSearch(const std::string& q) {
  s.searching = true;
  backgroundThen(
      [src = sources, q] {
        std::vector<nlohmann::json> found;
        if (src->search) found = src->search(q);
        found.resize(3, nlohmann::json::array());
        return found;
      },
      [q](AppDelegate& self, std::vector<nlohmann::json> found) {
        // Results of a query the user has since changed would show under the wrong text.
        if (self.s.query != q) return;
        self.s.hits = found[0];
        self.s.fileHits = found[1];
        self.s.titleHits = found[2];
        self.s.searching = false;
        self.repaint();
      });
}

void AppDelegate::startSmart(const std::string&) {
  // The meaning search lands with its own subsystem; until then a question asks nothing.
}

void AppDelegate::showInFinderAct(const Message& m) {
  std::string path = field(m, "path");
  if (!path.empty()) background([path] { Documents::showInFinder(path); });
}

void AppDelegate::revealAct(const Message& m) {
  std::string path = field(m, "path");
  if (!path.empty()) background([path] { Documents::reveal(path); });
}

void AppDelegate::openURLAct(const Message& m) {
  std::string url = field(m, "url");
  if (!url.empty()) background([url] { Documents::openURL(url); });
}

void AppDelegate::openDocAct(const Message& m) {
  std::string path = field(m, "path");
  if (path.empty()) return;
  // From a conversation a document opens beside it, unless the page asks for the reader.
  bool reader = s.openSID.empty() || s.worksOpen;
  if (!reader) {
    auto asked = m.find("reader");
    reader = asked != m.end() && asked->is_boolean() && asked->get<bool>();
  }
  loadDoc(path, reader);
}

void AppDelegate::editDocAct(const Message&) {
  if (s.docPath.empty()) return;
  s.docEditing = true;
  s.docNote = Lang::pick("editing", "בעריכה");
  s.docWarn = false;
  ++s.docStamp;
  repaint();
}

void AppDelegate::saveDocAct(const Message& m) {
  auto body = text(m, "text");
  if (!body || s.docPath.empty()) return;
  struct Saved {
    std::string error;
    nlohmann::json paths;
  };
  std::string path = s.docPath, saved = *body;
  backgroundThen(
      [path, saved] {
        Saved r{Documents::write(path, saved), nlohmann::json::array()};
        if (r.error.empty()) r.paths = Documents::paths(saved);
        return r;
      },
      [path, saved](AppDelegate& self, Saved r) {
        auto& s = self.s;
        if (s.docPath != path) return;  // closed or replaced meanwhile: the note has no place
        if (r.error.empty()) {
          s.docText = saved;
          s.docPaths = std::move(r.paths);
          s.docEditing = false;
          ++s.docStamp;
          s.docWarn = false;
          s.docNote = savedNote();
        } else {
          // Still editing, and the stamp stays, so the page keeps the text being typed.
          s.docNote = r.error;
          s.docWarn = true;
        }
        self.repaint();
      });
}

void AppDelegate::closeDocAct(const Message&) {
  ++docLoads;  // a read still in flight must not reopen it
  s.readerOpen = false;
  setDocPath("");
  s.docText.clear();
  s.docPaths = nlohmann::json::array();
  s.docNote.clear();
  s.docWarn = false;
  s.docEditing = false;
  repaint();
}

void AppDelegate::assetAct(const Message& m) {
  std::string path = field(m, "path");
  if (path.empty()) return;
  backgroundThen([path] { return Documents::asset(path); },
                 [](AppDelegate& self, nlohmann::json asset) { self.pushAsset(asset); });
}

void AppDelegate::saveAssetAct(const Message& m) {
  std::string path = field(m, "path");
  auto body = text(m, "text");
  if (path.empty() || !body) return;
  backgroundThen([path, saved = *body] { return Documents::saveAsset(path, saved); },
                 [](AppDelegate& self, nlohmann::json asset) { self.pushAsset(asset); });
}

void AppDelegate::pushAsset(const nlohmann::json& asset) {
  std::string json = scriptJson(asset);
  if (json.empty()) {
    Log::note(Lang::pick("Encoding the file failed", "קידוד הקובץ נכשל"));
    return;
  }
  callPage("setAsset", {json}, [](const PageHost::Reply& reply) {
    if (!reply.error.empty())
      Log::note(Lang::pick("Sending the file to the page failed — ", "שליחת הקובץ לדף נכשלה — ") +
                reply.error);
  });
}

void AppDelegate::stashAct(const Message& m) {
  auto data = text(m, "data");
  if (!data) return;
  std::string name = field(m, "name");
  backgroundThen(
      [data = *data, name] { return Documents::stash(data, name); },
      [](AppDelegate& self, std::string path) {
        if (path.empty()) {
          Log::note(Lang::pick("Saving the pasted file failed", "שמירת הקובץ שהודבק נכשלה"));
          return;
        }
        self.callPage("attached", {jsString(path)});
      });
}

void AppDelegate::pageErrorAct(const Message& m) {
  auto body = text(m, "text");
  if (!body) return;
  Log::line(Paths::agent("velmo-page-errors.log"), oneLine(*body));
}

void AppDelegate::logAct(const Message& m) {
  auto body = text(m, "text");
  if (!body) return;
  Log::note(Lang::pick("page: ", "דף: ") + *body);
}
