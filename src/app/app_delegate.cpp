#include "app/app_delegate.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "base/lang.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"

namespace {

constexpr double kSlowScanSeconds = 3.0;
constexpr double kSlowOpenSeconds = 2.0;

std::string format(const char* pattern, double a, double b) {
  char buf[96];
  std::snprintf(buf, sizeof buf, pattern, a, b);
  return buf;
}

}  // namespace

std::shared_ptr<AppDelegate> AppDelegate::make(Hosts hosts, Sources sources) {
  std::shared_ptr<AppDelegate> app(new AppDelegate(std::move(hosts), std::move(sources)));
  AppDelegate* raw = app.get();
  app->lanes.bind(app, [raw](Follow f) { raw->apply(f); });
  return app;
}

AppDelegate::AppDelegate(Hosts h, Sources src)
    : hosts(std::move(h)),
      sources(std::make_shared<const Sources>(std::move(src))),
      lanes(hosts.main, hosts.background, hosts.slow),
      page(hosts.page),
      reports(hosts.dialogs, lanes, sources),
      conversation(lanes, reports, sources),
      document(lanes),
      search(lanes, sources),
      menu(Lang::hebrew()),
      desk{conversation,
           document,
           search,
           views,
           order,
           lanes,
           page,
           reports,
           hosts.dialogs,
           sources,
           [this](std::function<void()> job) { chore(std::move(job)); }} {
  conversation.restore();
  document.restore();
  search.restore();
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::apply(Follow follow) {
  if (asks(follow, Follow::repaint)) painting.last.clear();
  if (asks(follow, Follow::repaint) || asks(follow, Follow::rescan)) scan();
  if (asks(follow, Follow::readChat)) openNow(conversation.openSID);
}

void AppDelegate::receiveText(const std::string& body) {
  receive(nlohmann::json::parse(body, nullptr, false));
}

void AppDelegate::receive(const nlohmann::json& m) {
  if (!m.is_object()) return;
  auto name = m.find("act");
  if (name == m.end() || !name->is_string()) return;
  const std::string word = name->get<std::string>();
  const Cmd::Entry* command = Cmd::fromPage(word);
  if (!command) return;
  obey(*command, m, Lang::pick("page message ", "הודעת הדף ") + word);
}

void AppDelegate::pageLoaded() {
  painting.ready = true;
  page.loaded();
  painting.last.clear();
  pushCommands();
  // Read again from disk, shown as it was: a document given at start is still the reader
  // when the browser connects after it was read.
  if (!document.path.empty()) document.open(document.path, views.has(View::reader), views);
  if (search.open && Text::length(search.query) >= 2) search.run(search.query);
  scan();
}

void AppDelegate::startWithoutPage() {
  painting.ready = true;
  scan();
}

bool AppDelegate::holdClaim() {
  owning.last = owning.claim.take();
  if (owning.last.fresh && owning.claimed) owning.claimed();
  if (owning.last.standing == Claim::Standing::viewer && !owning.viewerSaid) {
    owning.viewerSaid = true;
    Log::note(Lang::pick("another Velmo types and notifies for this user; this one only watches "
                         "until it quits",
                         "ולמו אחר מקליד ומתריע למשתמש הזה; זה רק צופה עד שהוא ייסגר"));
  }
  return owning.last.standing == Claim::Standing::owner;
}

void AppDelegate::launch() {
  holdClaim();
  if (sources->launchJobs) lanes.background([src = sources] { src->launchJobs(); });
}

void AppDelegate::pushCommands() {
  if (!sources->commands) return;
  uint64_t generation = page.generation();
  // The catalogue reads the user's command files, so it is built off the main thread.
  lanes.then([src = sources] { return scriptJson(src->commands()); },
             [this, generation](const std::string& list) {
               if (!list.empty()) page.callSame(generation, "setCommands", {list});
               return Follow::nothing;
             });
}

void AppDelegate::chore(std::function<void()> job) {
  if (!choresQueue) choresQueue = std::make_unique<SerialQueue>("velmo.chores");
  choresQueue->async(std::move(job));
}

void AppDelegate::scan() {
  if (!painting.ready) return;
  if (painting.scanning) {
    painting.queued = true;
    return;
  }
  painting.scanning = true;

  ScanSnapshot snap;
  snap.openSID = conversation.openSID;
  snap.pendingTexts = conversation.pendingTexts(Clock::now());
  snap.chatWant = conversation.chatWant;
  snap.views = views;

  // Only the Velmo holding the claim types on its own; a viewer takes over at the first
  // scan after the holder quits.
  if (holdClaim() && sources->chores) {
    // Chores can block for many seconds (a hand-off waits on the agent); one pass waiting
    // behind the running one is enough, so the queue never piles up.
    if (!choreWaiting->exchange(true)) {
      // The claim outlives the chores queue, which finishes its jobs as it goes.
      chore([src = sources, waiting = choreWaiting, claim = &owning.claim] {
        *waiting = false;
        // Asked again when the pass runs: the claim may have gone since it was queued.
        if (claim->sure()) src->chores();
      });
    }
  }

  std::weak_ptr<AppDelegate> weak = weak_from_this();
  MainQueue* main = hosts.main;
  lanes.background([weak, main, src = sources, snap] {
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
                    " sid=" + snap.openSID + " works=" + (snap.views.has(View::works) ? "y" : "n") +
                    " agents=" + (snap.views.has(View::crew) ? "y" : "n"));
    }
    main->post([weak, snap, result = std::move(result)]() mutable {
      auto self = weak.lock();
      if (!self) return;
      if (result) {
        self->finishScan(snap, *result);
        return;
      }
      // A failed body paints nothing but must not stop the loop.
      self->painting.scanning = false;
      if (self->painting.queued) {
        self->painting.queued = false;
        self->scan();
      }
    });
  });
}

ScanResult AppDelegate::build(const Sources& src, const ScanSnapshot& snap) {
  return buildScan(src, snap);
}

void AppDelegate::finishScan(const ScanSnapshot& snap, const ScanResult& result) {
  painting.scanning = false;
  // A chat read for another window size than the one now wanted ("more", a search hit
  // further back) could leave the page scrolling to a line it was not given.
  bool resized = !conversation.openSID.empty() && conversation.chatWant != snap.chatWant;
  bool spendFlipped = views.has(View::spend) != snap.views.has(View::spend);
  if (conversation.openSID != snap.openSID || spendFlipped || resized) {
    painting.queued = false;
    scan();
    return;
  }
  if (result.lost) conversation.close();
  paint(result);
  if (painting.queued) {
    painting.queued = false;
    scan();
  }
}

nlohmann::json AppDelegate::payload(const ScanResult& result) {
  nlohmann::json p = paintPayload(result, order, views, conversation, search, document);
  p["menu"] = Menu::forPage(menu.bar());
  if (!owning.claim.held()) {
    const Claim::State& c = owning.last;
    p["viewer"] = true;
    nlohmann::json owner = {{"answers", c.answers}};
    if (c.holder && c.standing != Claim::Standing::waiting) {
      owner["pid"] = c.holder->pid;
      owner["host"] = c.holder->host;
      owner["started"] = c.holder->started;
    }
    if (c.standing == Claim::Standing::waiting) owner["takingOver"] = true;
    if (c.standing == Claim::Standing::failed) owner["fault"] = c.why;
    p["owner"] = owner;
  }
  return p;
}

void AppDelegate::paint(const ScanResult& result) {
  menu.update(result.menu);
  std::string text = scriptJson(payload(result));
  if (text.empty() || text == painting.last) return;
  if (!page.attached()) return;
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  uint64_t generation = page.generation();
  page.call("paint", {text}, [weak, generation, text](const PageHost::Reply& reply) {
    auto self = weak.lock();
    if (!self) return;
    if (!reply.error.empty()) {
      // A page that went away (reload, closed tab) did not fail to paint.
      bool gone = generation != self->page.generation() || !self->page.attached();
      if (!gone) Log::note(Lang::pick("painting failed — ", "הציור נכשל — ") + reply.error);
      return;
    }
    // A reply from the page before a reload must not vouch for the new page.
    if (generation != self->page.generation()) return;
    self->painting.last = text;
    if (self->painted) self->painted();
  });
}

void AppDelegate::openNow(const std::string& sid) {
  struct Opened {
    int need = 0;
    std::optional<Panel::Chat> chat;
  };
  int want = conversation.chatWant;
  Conversation::Reach reach = conversation.reach();
  std::vector<std::string> pendingTexts;
  for (const auto& p : conversation.pending) pendingTexts.push_back(p.text);
  lanes.then(
      [src = sources, sid, want, at = reach.at, pendingTexts] {
        Opened o;
        // A search hit far back needs a window wide enough to hold it before the page may
        // scroll to it.
        o.need = at > 0 && src->reach ? src->reach(at, sid) : 0;
        Clock::Time t0 = Clock::now();
        if (src->chat) o.chat = src->chat(sid, pendingTexts, std::max(want, o.need));
        double took = Clock::now() - t0;
        if (took > kSlowOpenSeconds)
          Log::line(Paths::agent("velmo-smart.log"),
                    format("SLOW OPEN %.1fs", took, 0) + " sid=" + sid);
        return o;
      },
      [this, sid, token = reach.token](Opened o) {
        if (!conversation.reached(sid, o.need, token) || !o.chat) return Follow::nothing;
        // Painted at once with the conversation alone; the views come with the next scan.
        ScanResult now;
        now.chat = std::move(o.chat);
        now.crew.reset();
        now.book.reset();
        now.works.reset();
        now.asks.reset();
        now.live = now.spend = nullptr;
        paint(now);
        return Follow::nothing;
      });
}

void AppDelegate::loadDoc(const std::string& path, bool reader) {
  document.open(path, reader, views);
}

void AppDelegate::choose(const std::string& id, std::optional<int> value) {
  const Cmd::Entry* command = Cmd::fromMenu(id);
  if (command) obey(*command, Cmd::menuArgs(value), Lang::pick("menu item ", "פריט התפריט ") + id);
}

void AppDelegate::run(const std::string& name, const nlohmann::json& args) {
  if (const Cmd::Entry* command = Cmd::named(name)) obey(*command, args, name);
}

void AppDelegate::obey(const Cmd::Entry& command, const nlohmann::json& args,
                       const std::string& asked) {
  if (auto fault = Request::fault(command.args, args)) {
    // A page that sends a bad message does so on every paint; once is enough to find it.
    std::string line = asked + Lang::pick(" ignored: ", " לא בוצעה: ") + *fault;
    if (faultsLogged.insert(line).second) Log::note(line);
    return;
  }
  apply(Cmd::run(desk, command, args));
}
