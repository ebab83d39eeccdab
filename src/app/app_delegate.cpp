#include "app/app_delegate.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <set>

#include "base/lang.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/settings.h"
#include "base/text.h"
#include "base/timefmt.h"
#include "library/commands.h"
#include "library/documents.h"
#include "page/panel.h"
#include "page/panel_chat.h"
#include "sessions/transcript.h"
#include "terminals/automation.h"
#include "terminals/discover.h"
#include "terminals/input_row.h"

namespace {

constexpr double kPendingSeconds = 120;  // a sent text shows at most this long unconfirmed
constexpr double kSlowScanSeconds = 3.0;
constexpr double kSlowOpenSeconds = 2.0;
constexpr int kFirstWant = 24;  // chat lines a freshly opened conversation shows

std::string replaceSeparators(std::string text) {
  // Line and paragraph separators are valid inside JSON strings but end a line in older
  // script engines; escaped they mean the same to both.
  text = Text::replaceAll(std::move(text), "\xE2\x80\xA8", "\\u2028");
  return Text::replaceAll(std::move(text), "\xE2\x80\xA9", "\\u2029");
}

bool emptyPayload(const nlohmann::json& v) {
  return v.is_null() || (v.is_object() && v.empty());
}

std::string format(const char* pattern, double a, double b) {
  char buf[96];
  std::snprintf(buf, sizeof buf, pattern, a, b);
  return buf;
}

// The rack's key of a row: its session id, or for a row without one (or a second row of
// the same session) something unique to its terminal, so no row ever hides another.
std::string rowKey(const nlohmann::json& unit, const std::set<std::string>& seen, size_t index) {
  auto field = [&](const char* key) {
    auto it = unit.find(key);
    return it != unit.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  std::string key = field("sid");
  if (!key.empty() && !seen.count(key)) return key;
  key += "\x01" + field("tty");
  if (!seen.count(key)) return key;
  return key + "#" + std::to_string(index);
}

bool isSessionKey(const std::string& key) {
  return !key.empty() && key.find('\x01') == std::string::npos;
}

}  // namespace

std::string jsString(const std::string& text) {
  std::string list;
  try {
    list = nlohmann::json::array({text}).dump(-1, ' ', false,
                                              nlohmann::json::error_handler_t::replace);
  } catch (const std::exception&) {
    return "\"\"";
  }
  return replaceSeparators(list.substr(1, list.size() - 2));
}

std::string scriptJson(const nlohmann::json& value) {
  try {
    return replaceSeparators(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  } catch (const std::exception&) {
    return "";
  }
}

nlohmann::json orderRack(std::vector<std::string>& order, const nlohmann::json& units) {
  if (!units.is_array() || units.empty()) return units;
  std::map<std::string, const nlohmann::json*> rows;
  std::set<std::string> seen;
  std::vector<std::string> newcomers;
  std::set<std::string> known(order.begin(), order.end());
  for (size_t i = 0; i < units.size(); ++i) {
    std::string key = rowKey(units[i], seen, i);
    seen.insert(key);
    rows[key] = &units[i];
    if (!known.count(key)) newcomers.push_back(key);
  }
  std::vector<std::string> next = std::move(newcomers);
  for (const auto& key : order)
    if (rows.count(key)) next.push_back(key);
  order = std::move(next);
  nlohmann::json out = nlohmann::json::array();
  for (const auto& key : order) out.push_back(*rows[key]);
  return out;
}

AppDelegate::Sources AppDelegate::Sources::live() {
  Sources s;
  s.units = [] { return Panel::units(); };
  s.chat = [](const std::string& sid, const nlohmann::json& pending, int want) {
    return Panel::chat(sid, pending, want);
  };
  s.alerts = [](const std::string& excluding) { return Panel::alerts(excluding); };
  s.agents = [] { return Panel::agents(); };
  s.book = [] { return Panel::book(); };
  s.works = [] { return Panel::works(); };
  s.asks = [] { return Panel::asks(); };
  s.liveAsks = [] { return Panel::liveAsks(); };
  s.spend = [] { return Panel::spend(); };
  s.refreshSpend = [] {};
  s.terminals = [] { return Terminals::open(); };
  s.reach = [](double time, const std::string& sid) { return Transcript::want(time, sid); };
  // Word search lands with the index; until then every search finds nothing.
  s.search = [](const std::string&) {
    return std::vector<nlohmann::json>(3, nlohmann::json::array());
  };
  s.commands = [] { return Commands::payload(); };
  return s;
}

std::shared_ptr<AppDelegate> AppDelegate::make(Hosts hosts, Sources sources) {
  return std::shared_ptr<AppDelegate>(new AppDelegate(std::move(hosts), std::move(sources)));
}

AppDelegate::AppDelegate(Hosts h, Sources src)
    : hosts(std::move(h)), sources(std::make_shared<const Sources>(std::move(src))) {
  s.openSID = Settings::text("openSID");
  s.docPath = Settings::text("docPath");
  // Unlike the menu's switches, search starts closed unless it was left open.
  auto open = Settings::value("searchOpen");
  s.searchOpen = open && open->is_boolean() && open->get<bool>();
  s.query = Settings::text("searchQuery");
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::background(Job job) {
  if (hosts.background)
    hosts.background(std::move(job));
  else
    Pool::shared().async(std::move(job));
}

void AppDelegate::slow(Job job) {
  if (hosts.slow) {
    hosts.slow(std::move(job));
  } else if (hosts.background) {
    hosts.background(std::move(job));
  } else {
    // Leaked on purpose, like the shared pool: a typing job may outlive static teardown.
    static Pool* typing = new Pool("velmo.typing", 4);
    typing->async(std::move(job));
  }
}

void AppDelegate::onMain(Job job) {
  hosts.main->post(std::move(job));
}

void AppDelegate::backgroundFailed(const std::exception& e) {
  Log::note(Lang::pick("background work failed — ", "עבודת הרקע נכשלה — ") + std::string(e.what()));
}

void AppDelegate::callPage(const std::string& name, const std::vector<std::string>& args,
                           PageHost::Done done) {
  if (!hosts.page || !hosts.page->attached()) return;
  hosts.page->call(name, args, std::move(done));
}

void AppDelegate::setOpenSID(const std::string& sid) {
  if (s.chatFind.is_object()) {
    auto it = s.chatFind.find("sid");
    if (it == s.chatFind.end() || !it->is_string() || it->get<std::string>() != sid)
      s.chatFind = nullptr;
  }
  if (sid == s.openSID) return;
  s.openSID = sid;
  Settings::set("openSID", sid);
}

void AppDelegate::setDocPath(const std::string& path) {
  if (path == s.docPath) return;
  s.docPath = path;
  Settings::set("docPath", path);
}

void AppDelegate::setSearchOpen(bool open) {
  if (open == s.searchOpen) return;
  s.searchOpen = open;
  Settings::set("searchOpen", open);
}

void AppDelegate::setQuery(const std::string& query) {
  if (query == s.query) return;
  s.query = query;
  Settings::set("searchQuery", query);
}

void AppDelegate::pageLoaded() {
  s.ready = true;
  ++pageGeneration;
  s.lastPaint.clear();
  pushCommands();
  if (!s.docPath.empty()) loadDoc(s.docPath, false);
  if (s.searchOpen && Text::length(s.query) >= 2) runSearch(s.query);
  scan();
}

void AppDelegate::startWithoutPage() {
  s.ready = true;
  scan();
}

void AppDelegate::pushCommands() {
  if (!sources->commands) return;
  uint64_t generation = pageGeneration;
  // The catalogue reads the user's command files, so it is built off the main thread.
  backgroundThen([src = sources] { return scriptJson(src->commands()); },
                 [generation](AppDelegate& self, std::string list) {
                   if (generation != self.pageGeneration || list.empty()) return;
                   self.callPage("setCommands", {list});
                 });
}

void AppDelegate::scan() {
  if (!s.ready) return;
  if (s.scanning) {
    s.queued = true;
    return;
  }
  s.scanning = true;

  Clock::Time now = Clock::now();
  std::erase_if(s.pending, [&](const PendingText& p) { return now - p.at > kPendingSeconds; });

  ScanSnapshot snap;
  snap.openSID = s.openSID;
  for (const auto& p : s.pending) snap.pendingTexts.push_back(p.text);
  snap.chatWant = s.chatWant;
  snap.agentsOpen = s.agentsOpen;
  snap.bookOpen = s.bookOpen;
  snap.worksOpen = s.worksOpen;
  snap.asksOpen = s.asksOpen;
  snap.spendOpen = s.spendOpen;

  if (sources->chores) {
    // Chores can block for many seconds (a hand-off waits on the agent); one pass waiting
    // behind the running one is enough, so the queue never piles up.
    if (!choreWaiting->exchange(true)) {
      if (!choresQueue) choresQueue = std::make_unique<SerialQueue>("velmo.chores");
      choresQueue->async([src = sources, waiting = choreWaiting] {
        *waiting = false;
        src->chores();
      });
    }
  }

  std::weak_ptr<AppDelegate> weak = weak_from_this();
  MainQueue* main = hosts.main;
  background([weak, main, src = sources, snap] {
    Clock::Time t0 = Clock::now();
    std::optional<ScanResult> result;
    try {
      result = build(*src, snap);
    } catch (const std::exception& e) {
      Log::note(Lang::pick("scan failed — ", "הסריקה נכשלה — ") + std::string(e.what()));
    }
    double total = Clock::now() - t0;
    if (result && total > kSlowScanSeconds) {
      Log::line(Paths::agent("velmo-smart.log"),
                format("SLOW SCAN %.1fs (chat %.1fs)", total, result->chatSeconds) +
                    " sid=" + snap.openSID + " works=" + (snap.worksOpen ? "y" : "n") +
                    " agents=" + (snap.agentsOpen ? "y" : "n"));
    }
    main->post([weak, snap, result = std::move(result)]() mutable {
      auto self = weak.lock();
      if (!self) return;
      if (result) {
        self->finishScan(snap, std::move(*result));
      } else {
        // A failed body paints nothing but must not stop the loop.
        self->s.scanning = false;
        if (self->s.queued) {
          self->s.queued = false;
          self->scan();
        }
      }
    });
  });
}

ScanResult AppDelegate::build(const Sources& src, const ScanSnapshot& snap) {
  ScanResult r;
  Clock::Time t0 = Clock::now();
  bool conversation = !snap.openSID.empty();
  if (conversation && src.chat) {
    nlohmann::json pending = snap.pendingTexts;
    r.chat = src.chat(snap.openSID, pending, snap.chatWant);
    if (emptyPayload(r.chat)) r.chat = nullptr;
  }
  r.chatSeconds = Clock::now() - t0;
  r.lost = conversation && r.chat.is_null();
  auto call = [](const std::function<nlohmann::json()>& f) {
    return f ? f() : nlohmann::json::array();
  };
  if ((!conversation || r.lost) && src.units) r.units = src.units();
  if (conversation && !r.lost && src.alerts) r.alerts = src.alerts(snap.openSID);
  if (snap.agentsOpen) r.crew = call(src.agents);
  if (snap.bookOpen) r.book = call(src.book);
  if (snap.worksOpen) r.works = call(src.works);
  if (snap.asksOpen) {
    r.asks = call(src.asks);
    r.live = call(src.liveAsks);
  }
  if (snap.spendOpen) {
    if (src.refreshSpend) src.refreshSpend();
    r.spend = call(src.spend);
  }
  return r;
}

void AppDelegate::finishScan(const ScanSnapshot& snap, ScanResult result) {
  s.scanning = false;
  // A chat read for another window size than the one now wanted ("more", a search hit
  // further back) could leave the page scrolling to a line it was not given.
  bool resized = !s.openSID.empty() && s.chatWant != snap.chatWant;
  if (s.openSID != snap.openSID || s.spendOpen != snap.spendOpen || resized) {
    s.queued = false;
    scan();
    return;
  }
  if (result.lost) {
    setOpenSID("");
    s.pending.clear();
  }
  paint(result);
  if (s.queued) {
    s.queued = false;
    scan();
  }
}

nlohmann::json AppDelegate::payload(const ScanResult& r) {
  nlohmann::json p = nlohmann::json::object();
  p["units"] = r.units.is_array() && !r.units.empty() ? orderRack(s.order, r.units)
                                                      : nlohmann::json::array();
  p["clock"] = TimeText::hoursMinutes(Clock::now());
  // A view's payload goes only while the view is open and the scan built it; one opened
  // during the scan arrives with the follow-up scan.
  if (s.agentsOpen && !r.crew.is_null()) p["crew"] = r.crew;
  if (s.bookOpen && !r.book.is_null()) p["book"] = r.book;
  if (s.worksOpen && !r.works.is_null()) p["works"] = r.works;
  if (s.asksOpen && !r.asks.is_null()) {
    p["asks"] = r.asks;
    p["live"] = r.live.is_null() ? nlohmann::json::array() : r.live;
  }
  if (s.spendOpen && !r.spend.is_null()) p["spend"] = r.spend;
  if (!s.openSID.empty() && !emptyPayload(r.chat)) p["chat"] = r.chat;
  if (s.chatFind.is_object() && !s.openSID.empty()) {
    auto it = s.chatFind.find("sid");
    if (it != s.chatFind.end() && it->is_string() && it->get<std::string>() == s.openSID)
      p["find"] = s.chatFind;
  }
  p["alerts"] = r.alerts.is_array() ? r.alerts : nlohmann::json::array();
  if (s.searchOpen) {
    p["search"] = {{"query", s.query},
                   {"hits", s.hits},
                   {"files", s.fileHits},
                   {"titles", s.titleHits},
                   {"busy", s.searching},
                   {"building", 0},
                   {"smartQuery", s.smartQuery},
                   {"smartBusy", s.smartBusy},
                   {"smartFailed", s.smartFailed},
                   {"smart", s.smartHits.is_null() ? nlohmann::json::array() : s.smartHits}};
  }
  if (s.readerOpen && !s.docPath.empty()) p["reader"] = true;
  if (!s.docPath.empty()) {
    p["doc"] = {{"path", s.docPath},   {"name", Text::abbreviateHome(s.docPath, Paths::home())},
                {"text", s.docText},   {"editing", s.docEditing},
                {"note", s.docNote},   {"warn", s.docWarn},
                {"stamp", s.docStamp}, {"paths", s.docPaths}};
  }
  return p;
}

void AppDelegate::paint(const ScanResult& result) {
  std::string text = scriptJson(payload(result));
  if (text.empty() || text == s.lastPaint) return;
  if (!hosts.page || !hosts.page->attached()) return;
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  uint64_t generation = pageGeneration;
  hosts.page->call("paint", {text}, [weak, generation, text](const PageHost::Reply& reply) {
    auto self = weak.lock();
    if (!self) return;
    if (!reply.error.empty()) {
      // A page that went away (reload, closed tab) did not fail to paint.
      bool gone = generation != self->pageGeneration || !self->hosts.page->attached();
      if (!gone) Log::note(Lang::pick("painting failed — ", "הציור נכשל — ") + reply.error);
      return;
    }
    // A reply from the page before a reload must not vouch for the new page.
    if (generation != self->pageGeneration) return;
    self->s.lastPaint = text;
    if (self->painted) self->painted();
  });
}

void AppDelegate::repaint() {
  s.lastPaint.clear();
  scan();
}

void AppDelegate::step(int by) {
  std::vector<std::string> sids;
  std::copy_if(s.order.begin(), s.order.end(), std::back_inserter(sids), isSessionKey);
  if (sids.empty()) return;
  auto it = std::find(sids.begin(), sids.end(), s.openSID);
  std::string next;
  if (it == sids.end()) {
    next = sids.front();
  } else {
    long n = static_cast<long>(sids.size());
    long i = it - sids.begin();
    next = sids[static_cast<size_t>(((i + by) % n + n) % n)];
  }
  setOpenSID(next);
  s.chatWant = kFirstWant;
  s.pending.clear();
  repaint();
}

void AppDelegate::refreshNow() {
  s.order.clear();
  repaint();
}

void AppDelegate::wakeAll() {
  struct Woken {
    size_t tried = 0;
    int sent = 0;
  };
  std::string word = Lang::pick("continue", "תמשיך");
  backgroundThen(
      [src = sources, word] {
        Woken w;
        nlohmann::json units = src->units ? src->units() : nlohmann::json::array();
        std::vector<std::string> ttys;
        for (const auto& u : units) {
          if (!u.is_object()) continue;
          auto field = [&](const char* key) {
            auto it = u.find(key);
            return it != u.end() && it->is_string() ? it->get<std::string>() : std::string();
          };
          if (field("state") == "wait" && !field("sid").empty() && !field("tty").empty())
            ttys.push_back(field("tty"));
        }
        w.tried = ttys.size();
        if (ttys.empty()) return w;
        std::vector<Terminal> terminals =
            src->terminals ? src->terminals() : std::vector<Terminal>{};
        for (const auto& tty : ttys)
          if (Terminals::send(word, tty, terminals)) ++w.sent;
        return w;
      },
      [](AppDelegate& self, Woken w) {
        if (w.tried == 0) {
          Log::note(Lang::pick("No terminal is waiting for you", "אין מסוף שממתין לך"));
          return;
        }
        std::string n = std::to_string(w.sent), m = std::to_string(w.tried);
        Log::note(Lang::hebrew() ? "נשלח ל-" + n + " מתוך " + m : "Sent to " + n + " of " + m);
        self.repaint();
      },
      true);
}

void AppDelegate::findAnywhere() {
  if (hosts.dialogs) hosts.dialogs->present();
  setSearchOpen(true);
  repaint();
  if (hosts.page && hosts.page->attached()) hosts.page->call("focusFind", {});
}

void AppDelegate::openSession(const std::string& sid, bool show, const nlohmann::json& find) {
  if (sid.empty()) {
    if (show && hosts.dialogs) hosts.dialogs->present();
    return;
  }
  setOpenSID(sid);
  if (find.is_object()) {
    auto text = [&](const char* key) {
      auto it = find.find(key);
      return it != find.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    std::string query = Text::trim(text("query"));
    if (Text::length(query) >= 2) {
      auto ts = find.find("ts");
      double at = ts != find.end() && ts->is_number() ? ts->get<double>() : 0;
      ++s.findToken;
      s.chatFind = {{"sid", sid},           {"query", query},       {"ts", at},
                    {"role", text("role")}, {"token", s.findToken}, {"ready", at <= 0}};
    }
  }
  s.chatWant = kFirstWant;
  setSearchOpen(false);
  s.agentsOpen = s.bookOpen = s.worksOpen = s.asksOpen = s.spendOpen = false;
  setQuery("");
  s.hits = nlohmann::json::array();
  s.pending.clear();
  repaint();
  openNow(sid);
  if (show && hosts.dialogs) hosts.dialogs->present();
}

void AppDelegate::openNow(const std::string& sid) {
  struct Opened {
    int need = 0;
    nlohmann::json chat;
  };
  int want = s.chatWant;
  double at = 0;
  int64_t token = -1;
  if (s.chatFind.is_object()) {
    if (auto ts = s.chatFind.find("ts"); ts != s.chatFind.end() && ts->is_number())
      at = ts->get<double>();
    if (auto t = s.chatFind.find("token"); t != s.chatFind.end() && t->is_number_integer())
      token = t->get<int64_t>();
  }
  std::vector<std::string> pendingTexts;
  for (const auto& p : s.pending) pendingTexts.push_back(p.text);
  backgroundThen(
      [src = sources, sid, want, at, pendingTexts] {
        Opened o;
        // A search hit far back needs a window wide enough to hold it before the page may
        // scroll to it.
        o.need = at > 0 && src->reach ? src->reach(at, sid) : 0;
        Clock::Time t0 = Clock::now();
        if (src->chat)
          o.chat = src->chat(sid, nlohmann::json(pendingTexts), std::max(want, o.need));
        double took = Clock::now() - t0;
        if (took > kSlowOpenSeconds)
          Log::line(Paths::agent("velmo-smart.log"),
                    format("SLOW OPEN %.1fs", took, 0) + " sid=" + sid);
        return o;
      },
      [sid, token](AppDelegate& self, Opened o) {
        if (self.s.openSID != sid) return;
        self.s.chatWant = std::max(self.s.chatWant, o.need);
        auto& find = self.s.chatFind;
        if (find.is_object() && find.value("token", int64_t{-2}) == token) find["ready"] = true;
        if (emptyPayload(o.chat)) return;
        ScanResult now;
        now.chat = std::move(o.chat);
        now.crew = now.book = now.works = now.asks = now.live = now.spend = nullptr;
        self.paint(now);
      });
}

void AppDelegate::alert(const Alert& a, std::function<void(int)> done) {
  if (!hosts.dialogs) {
    Log::note(a.title + " — " + a.text);
    if (done) done(-1);
    return;
  }
  hosts.dialogs->alert(
      a, done ? std::move(done) : [](int) {});
}

void AppDelegate::reportSendFailure() {
  s.pending.clear();
  s.lastPaint.clear();
  alert({Lang::pick("The message was not sent", "ההודעה לא נשלחה"),
         Lang::pick("Could not reach the terminal window. Usually its tmux server has "
                    "stopped, or it runs on a socket Velmo does not use — name that socket "
                    "in the setting \"tmuxSocket\".",
                    "לא הצלחתי להגיע לחלון־המסוף. בדרך כלל שרת ה־tmux שלו נעצר, "
                    "או שהוא פועל בשקע שוולמו לא משתמש בו — יש לציין את השקע "
                    "בהגדרה \"tmuxSocket\"."),
         {}});
  scan();
}

void AppDelegate::reportSendFailure(const std::string& reason, const std::string& tty) {
  if (reason.empty()) {
    reportSendFailure();
    return;
  }
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  alert({Lang::pick("The answer was not sent", "התשובה לא נשלחה"),
         reason,
         {Lang::pick("Open the terminal", "לחלון־המסוף"), Lang::pick("Close", "סגירה")}},
        [weak, tty](int button) {
          auto self = weak.lock();
          if (!self || button != 0) return;
          self->background([src = self->sources, tty] {
            Terminals::raise(tty, src->terminals ? src->terminals() : std::vector<Terminal>{});
          });
        });
  scan();
}

void AppDelegate::reportUnsentText(const std::string& tty) {
  s.pending.clear();
  s.lastPaint.clear();
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  alert({Lang::pick("The message was not sent", "ההודעה לא נשלחה"),
         Terminals::unsentRefusal(),
         {Lang::pick("Open the terminal", "לחלון־המסוף"), Lang::pick("Close", "סגירה")}},
        [weak, tty](int button) {
          auto self = weak.lock();
          if (!self || button != 0) return;
          self->background([src = self->sources, tty] {
            Terminals::raise(tty, src->terminals ? src->terminals() : std::vector<Terminal>{});
          });
        });
  scan();
}

void AppDelegate::reportClosedTerminal() {
  alert({Lang::pick("The terminal for this conversation is closed", "המסוף של השיחה הזאת סגור"),
         Lang::pick("You can read it, but there is nowhere to send to. "
                    "To carry on you need to reopen it in a terminal.",
                    "אפשר לקרוא אותה, אבל אין לאן לשלוח. "
                    "כדי להמשיך בה צריך לפתוח אותה מחדש במסוף."),
         {}});
}

void AppDelegate::reportOpenFailure(const std::string& message) {
  alert({Lang::pick("The terminal did not open", "המסוף לא נפתח"), message, {}});
}

void AppDelegate::stepLive(int by) {
  backgroundThen([src = sources] { return src->units ? src->units() : nlohmann::json::array(); },
                 [by](AppDelegate& self, nlohmann::json units) {
                   auto next = Panel::stepLive(self.s.order, Panel::liveSessions(units),
                                               self.s.openSID, by);
                   if (!next) {
                     Log::note(Panel::noLiveNote());
                     return;
                   }
                   self.openStepped(*next);
                 });
}

void AppDelegate::openStepped(const std::string& sid) {
  setOpenSID(sid);
  s.chatWant = kFirstWant;
  setSearchOpen(false);
  s.agentsOpen = s.bookOpen = s.worksOpen = s.asksOpen = s.spendOpen = s.readerOpen = false;
  s.pending.clear();
  repaint();
}

void AppDelegate::loadDoc(const std::string& path, bool reader) {
  struct Loaded {
    std::string path;
    Documents::Document doc;
    nlohmann::json paths;
  };
  uint64_t load = ++docLoads;
  backgroundThen(
      [path] {
        Loaded l{Documents::expand(path), Documents::read(path), nlohmann::json::array()};
        l.paths = Documents::paths(l.doc.text);
        return l;
      },
      [load, reader](AppDelegate& self, Loaded l) {
        if (load != self.docLoads) return;  // another document was opened, or it was closed
        auto& s = self.s;
        self.setDocPath(l.path);
        s.docText = std::move(l.doc.text);
        s.docPaths = std::move(l.paths);
        s.docNote = l.doc.error;
        s.docWarn = !l.doc.error.empty();
        s.docEditing = false;
        ++s.docStamp;  // the page redraws the text only when the stamp moves
        s.readerOpen = reader;
        self.repaint();
      });
}
