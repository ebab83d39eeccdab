// Messages from the page: one dictionary with the name in "act" and its own keys beside it.
// Each name maps to one effect; a name whose subsystem has not landed yet is accepted and
// does nothing. Missing or mistyped keys make a message do nothing, and nothing is ever
// reported back to the page for them.

#include <algorithm>

#include "app/app_delegate.h"
#include "base/lang.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"
#include "page/muted.h"

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
      {"newTerminal", nullptr},  // terminal automation
      {"restorable", nullptr},   // the restore tool
      {"restoreRun", nullptr},
      {"quick", &AppDelegate::quickAct},
      {"send", &AppDelegate::sendAct},
      {"answerAsk", nullptr},  // keystroke answering
      {"answerFree", nullptr},
      {"answer", nullptr},  // the questions file
      {"mute", &AppDelegate::muteAct},
      {"rename", nullptr},   // names and titles
      {"relayGo", nullptr},  // hand-off
      {"resume", nullptr},   // terminal automation
      {"raise", &AppDelegate::raiseAct},
      {"raiseTty", &AppDelegate::raiseTtyAct},
      {"more", &AppDelegate::moreAct},
      {"step", &AppDelegate::stepAct},
      {"findClear", &AppDelegate::findClearAct},
      {"findHere", &AppDelegate::findHereAct},
      {"search", &AppDelegate::searchAct},
      {"smartSearch", nullptr},  // meaning search
      {"showInFinder", nullptr},  // desktop integration
      {"reveal", nullptr},
      {"openURL", nullptr},
      {"openDoc", nullptr},  // documents
      {"editDoc", &AppDelegate::editDocAct},
      {"saveDoc", nullptr},
      {"closeDoc", &AppDelegate::closeDocAct},
      {"asset", nullptr},
      {"saveAsset", nullptr},
      {"stash", nullptr},
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
  auto it = std::find_if(table.begin(), table.end(),
                         [&](const Act& a) { return *act == a.name; });
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

void AppDelegate::refreshAct(const Message&) { refreshNow(); }

void AppDelegate::wakeAllAct(const Message&) { wakeAll(); }

void AppDelegate::quickAct(const Message& m) {
  std::string sid = field(m, "sid"), body = field(m, "text");
  if (!sid.empty() && !body.empty()) sendText(sid, body);
}

void AppDelegate::sendAct(const Message& m) {
  std::string body = field(m, "text");
  if (!body.empty() && !s.openSID.empty()) sendText(s.openSID, body);
}

void AppDelegate::sendText(const std::string& sid, const std::string& body) {
  // The terminal list may need a discovery, so it is looked up off the main thread.
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  MainQueue* main = hosts.main;
  background([weak, main, src = sources, sid, body] {
    std::string tty;
    if (src->terminals)
      for (const auto& t : src->terminals())
        if (t.sessionID == sid && !t.tty.empty()) tty = t.tty;
    main->post([weak, tty, body] {
      auto self = weak.lock();
      if (!self) return;
      if (tty.empty()) {
        self->reportClosedTerminal();
        return;
      }
      self->s.pending.push_back({body, Clock::now()});
      self->repaint();
      MainQueue* main = self->hosts.main;
      self->background([weak, main, src = self->sources, tty, body] {
        bool ok = src->type && src->type(body, tty);
        if (ok) return;
        main->post([weak] {
          if (auto self = weak.lock()) self->reportSendFailure();
        });
      });
    });
  });
}

void AppDelegate::muteAct(const Message& m) {
  std::string sid = field(m, "sid");
  if (sid.empty()) return;
  Muted::set(sid, text(m, "stamp"));
  repaint();
}

void AppDelegate::raiseAct(const Message&) {
  if (s.openSID.empty()) return;
  background([src = sources, sid = s.openSID] {
    if (!src->terminals || !src->raise) return;
    for (const auto& t : src->terminals())
      if (t.sessionID == sid && !t.tty.empty()) {
        src->raise(t.tty);
        return;
      }
  });
}

void AppDelegate::raiseTtyAct(const Message& m) {
  std::string tty = field(m, "tty");
  if (tty.empty()) return;
  background([src = sources, tty] {
    if (src->raise) src->raise(tty);
  });
}

void AppDelegate::moreAct(const Message&) {
  s.chatWant = nextChatWant(s.chatWant);
  repaint();
}

void AppDelegate::stepAct(const Message& m) {
  auto by = m.find("by");
  if (by == m.end() || !by->is_number_integer()) return;
  step(by->get<int>());
}

void AppDelegate::findClearAct(const Message&) { s.chatFind = nullptr; }

void AppDelegate::findHereAct(const Message& m) {
  auto raw = text(m, "text");
  if (!raw) return;
  std::string q = Text::trim(*raw);
  s.worksOpen = false;
  setSearchOpen(true);
  setQuery(q);
  if (hosts.page && hosts.page->attached()) hosts.page->call("setFind", {jsString(q)});
  if (Text::length(q) >= 2) runSearch(q);
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

void AppDelegate::runSearch(const std::string& q) {
  s.searching = true;
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  MainQueue* main = hosts.main;
  background([weak, main, src = sources, q] {
    std::vector<nlohmann::json> found;
    if (src->search) found = src->search(q);
    found.resize(3, nlohmann::json::array());
    main->post([weak, q, found = std::move(found)] {
      auto self = weak.lock();
      // Results of a query the user has since changed would show under the wrong text.
      if (!self || self->s.query != q) return;
      self->s.hits = found[0];
      self->s.fileHits = found[1];
      self->s.titleHits = found[2];
      self->s.searching = false;
      self->repaint();
    });
  });
}

void AppDelegate::editDocAct(const Message&) {
  if (s.docPath.empty()) return;
  s.docEditing = true;
  s.docNote = Lang::pick("editing", "בעריכה");
  s.docWarn = false;
  ++s.docStamp;
  repaint();
}

void AppDelegate::closeDocAct(const Message&) {
  s.readerOpen = false;
  setDocPath("");
  s.docText.clear();
  s.docNote.clear();
  s.docEditing = false;
  repaint();
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
