#include "control/notify.h"

#include <climits>
#include <cstdint>
#include <functional>
#include <set>
#include <utility>

#include "base/files.h"
#include "base/json_field.h"
#include "base/lang.h"
#include "base/paths.h"
#include "base/settings.h"
#include "base/text.h"
#include "base/timefmt.h"
#include "feed/state_feed.h"
#include "terminals/answer.h"
#include "terminals/discover.h"

namespace {

constexpr double kReminderSeconds = 600;  // one reminder, this long after the first post
constexpr double kGoneSeconds = 4;        // a prompt off screen this long has been answered
constexpr size_t kOptionButtons = 5;
constexpr size_t kLabelChars = 60;
constexpr size_t kReviewLines = 4;  // of a review screen's context
constexpr const char* kQuestionPrefix = "velmo.q.";

std::mutex globalLock;
std::string authorizationText = "unknown";
std::shared_ptr<Notify> sharedInstance;

void setAuthorization(const std::string& text) {
  std::lock_guard<std::mutex> guard(globalLock);
  authorizationText = text;
}

std::string subtitle(const std::string& kind, bool again) {
  std::string text;
  if (kind == "permission")
    text = Lang::pick("asks for permission", "מבקש הרשאה");
  else if (kind == "plan")
    text = Lang::pick("asks to approve a plan", "מבקש אישור לתוכנית");
  else if (kind == "review")
    text = Lang::pick("ready to submit answers", "לשלוח את התשובות?");
  else
    text = Lang::pick("asks you", "שואל אותך");
  if (again) text += Lang::pick(" · still waiting", " · עדיין ממתין");
  return text;
}

// A permission or plan prompt's body goes in whole: it is what a click on "Yes" approves.
std::string body(const Terminals::Picker& picker, const std::string& kind) {
  std::vector<std::string> lines;
  if (kind == "permission" || kind == "plan")
    lines.insert(lines.end(), picker.body.begin(), picker.body.end());
  lines.push_back(picker.question);
  if (kind == "review") {
    auto context = Text::split(picker.context, '\n', false);
    for (size_t i = 0; i < context.size() && i < kReviewLines; ++i) lines.push_back(context[i]);
  }
  std::vector<std::string> kept;
  for (auto& line : lines)
    if (!Text::trim(line).empty()) kept.push_back(line);
  return StateFeed::redact(Text::join(kept, "\n"));
}

const char* boolText(bool b) {
  return b ? "true" : "false";
}

Notifier::Action button(std::string key, std::string label) {
  Notifier::Action a;
  a.key = std::move(key);
  a.label = std::move(label);
  return a;
}

}  // namespace

Notify::Hooks Notify::Hooks::live() {
  Hooks h;
  h.terminals = [] { return Terminals::open(); };
  h.answering = [](const std::string& tty) { return Terminals::answering(tty); };
  h.answer = Control::answer;
  h.background = [](Job job) { Pool::shared().async(std::move(job)); };
  h.main = [](const Job& job) { job(); };
  return h;
}

std::shared_ptr<Notify> Notify::make(std::shared_ptr<Notifier> notifier, Hooks hooks) {
  std::shared_ptr<Notify> n(new Notify(std::move(notifier), std::move(hooks)));
  n->listen();
  return n;
}

Notify::Notify(std::shared_ptr<Notifier> notifier, Hooks hooks)
    : notifier(std::move(notifier)), hooks(std::move(hooks)) {}

// The notifier's listeners hold only weak references, so they fall silent by themselves.
Notify::~Notify() = default;

void Notify::listen() {
  std::weak_ptr<Notify> weak = weak_from_this();
  // The events come on the notifier's own thread, and the notifier's end waits for that
  // thread: were the last owner to let go there, it would wait for itself. So the reference
  // taken for an event is let go on the background queue.
  auto with = [weak](const std::function<void(Notify&)>& act) {
    auto self = weak.lock();
    if (!self) return;
    act(*self);
    if (auto background = self->hooks.background) background([last = std::move(self)] {});
  };
  Notifier::Events events;
  events.action = [with](uint32_t id, const std::string& action) {
    with([&](Notify& self) { self.respond(id, action, "", false); });
  };
  events.reply = [with](uint32_t id, const std::string& text) {
    with([&](Notify& self) { self.respond(id, "reply", text, true); });
  };
  events.closed = [with](uint32_t id, uint32_t) {
    with([&](Notify& self) { self.closed(id); });
  };
  notifier->listen(std::move(events));
}

std::string Notify::logPath() {
  return Files::join(Paths::stateDir(), "notify.log");
}
std::string Notify::storePath() {
  return Files::join(Paths::stateDir(), "notifications.json");
}

std::string Notify::authorization() {
  std::lock_guard<std::mutex> guard(globalLock);
  return authorizationText;
}

std::shared_ptr<Notify> Notify::shared() {
  std::lock_guard<std::mutex> guard(globalLock);
  return sharedInstance;
}

void Notify::install(std::shared_ptr<Notify> notify) {
  std::lock_guard<std::mutex> guard(globalLock);
  sharedInstance = std::move(notify);
}

void Notify::onOpen(std::function<void(const std::string&)> hook) {
  std::lock_guard<std::mutex> guard(lock);
  openHook = std::move(hook);
}

std::map<std::string, Notify::Seen> Notify::seen() const {
  std::lock_guard<std::mutex> guard(lock);
  return questions;
}

void Notify::trace(const std::string& text) {
  StateFeed::appendPrivate(TimeText::iso8601(Clock::now()) + " " + text, logPath());
}

void Notify::fyi(const std::string& text) {
  if (!owns()) return;
  Notifier::Request request;
  request.summary = Lang::pick("Velmo", "ולמו");
  request.body = text;
  request.hints["desktop-entry"] = "velmo";
  auto posted = notifier->post(request);
  if (!posted.id) trace("fyi error=" + posted.error);
}

bool Notify::owns() const {
  return !hooks.owning || hooks.owning();
}

void Notify::setUp() {
  // A Velmo that only watches leaves what is on show to the one that notifies; it adopts
  // it once it takes over.
  if (!owns()) return;
  std::lock_guard<std::mutex> guard(lock);
  if (!setUpDone) setUpLocked();
}

void Notify::setUpLocked() {
  setUpDone = true;
  auto caps = notifier->capabilities();
  ready = caps.reached;
  std::string status = ready ? "authorized" : "unavailable";
  setAuthorization(status);
  trace(std::string("notifications granted=") + boolText(ready) + " status=" + status +
        (ready ? " server=" + caps.server : " why=" + caps.error));

  // Adoption: what an earlier run left on show is neither posted again nor reminded twice.
  // A record from another server (it restarted meanwhile) names a notification that is
  // gone, and its id may belong to someone else's by now: it is dropped, never closed.
  auto text = Files::read(storePath(), Files::kStoreBytes);
  if (!text) return;
  savedText = *text;
  nlohmann::json store = nlohmann::json::parse(*text, nullptr, false);
  if (!store.is_object() || !store.contains("posted") || !store["posted"].is_object()) {
    trace("notifications.json unreadable; nothing adopted");
    save();
    return;
  }
  Clock::Time now = Clock::now();
  for (const auto& [qid, record] : store["posted"].items()) {
    if (!record.is_object()) continue;
    auto idValue = record.find("id");
    uint32_t id = idValue != record.end() && idValue->is_number_unsigned() &&
                          idValue->get<uint64_t>() <= UINT32_MAX
                      ? idValue->get<uint32_t>()
                      : 0;
    std::string server = JsonField::text(record, "server");
    auto at = TimeText::parseIso(JsonField::text(record, "time"));
    if (!id || !at || !ready || server != caps.server) continue;
    auto reminded = record.find("reminded");
    Seen s;
    s.first = *at;
    s.posted = *at;
    s.reposted = (reminded != record.end() && reminded->is_boolean() && reminded->get<bool>()) ||
                 now - *at >= kReminderSeconds;
    s.serverID = id;
    s.server = server;
    s.tty = JsonField::text(record, "tty");
    s.sid = JsonField::text(record, "sid");
    questions[qid] = s;
    trace("adopt " + qid);
  }
  save();
}

void Notify::save() {
  nlohmann::json posted = nlohmann::json::object();
  for (const auto& [qid, s] : questions) {
    if (!s.serverID || !s.posted) continue;
    posted[qid] = {
        {"id", s.serverID},       {"server", s.server}, {"time", TimeText::iso8601(*s.posted)},
        {"reminded", s.reposted}, {"tty", s.tty},       {"sid", s.sid}};
  }
  std::string text = nlohmann::json{{"version", 1}, {"posted", posted}}.dump(2) + "\n";
  if (text == savedText) return;
  if (savedText.empty() && posted.empty() && !Files::exists(storePath())) return;
  if (StateFeed::writePrivate(text, storePath()))
    savedText = text;
  else
    trace("notifications.json could not be written");
}

void Notify::tick(const std::vector<Terminal>& terms,
                  const std::vector<Terminals::Picker>& pickers) {
  if (!owns()) return;
  std::lock_guard<std::mutex> guard(lock);
  if (!setUpDone) setUpLocked();
  Clock::Time now = Clock::now();

  if (!Settings::flag("notifyOn")) {
    if (!questions.empty()) {
      for (const auto& [qid, s] : questions)
        if (s.serverID) notifier->close(s.serverID);
      trace("notifications off: retract " + std::to_string(questions.size()));
      questions.clear();
      save();
    }
    return;
  }
  double minWait = Settings::number("notifyMinWait", 0);

  std::set<std::string> live;
  for (const auto& picker : pickers) {
    const Terminal* term = nullptr;
    for (const auto& t : terms)
      if (t.tty == picker.tty) {
        term = &t;
        break;
      }
    if (!term || term->windowless) continue;
    std::string qid = StateFeed::questionID(picker);
    live.insert(qid);
    auto found = questions.find(qid);
    Seen s = found != questions.end() ? found->second : Seen{};
    if (found == questions.end()) s.first = now;
    s.missingSince.reset();
    s.tty = term->tty;
    s.sid = term->sessionID;
    // While Velmo types into the terminal the prompt is about to go; a notification now
    // would offer an answer that is already on its way.
    if (!hooks.answering(term->tty)) {
      if (!s.posted) {
        if (now - s.first >= minWait) {
          post(picker, *term, qid, false, s);
          s.posted = now;
        }
      } else if (!s.reposted && now - *s.posted >= kReminderSeconds) {
        post(picker, *term, qid, true, s);
        s.posted = now;
        s.reposted = true;
      }
    }
    questions[qid] = s;
  }

  for (auto it = questions.begin(); it != questions.end();) {
    Seen& s = it->second;
    if (live.count(it->first)) {  // NOLINT(bugprone-branch-clone): each case reads on its own
      ++it;
    } else if (!s.missingSince) {
      s.missingSince = now;
      ++it;
    } else if (now - *s.missingSince >= kGoneSeconds) {
      retract(it->first, s);
      it = questions.erase(it);
    } else {
      ++it;
    }
  }
  save();
}

void Notify::retract(const std::string& qid, const Seen& s) {
  if (!s.posted) return;
  if (s.serverID) notifier->close(s.serverID);
  trace("retract " + qid + " (left the screen)");
}

void Notify::post(const Terminals::Picker& picker, const Terminal& term, const std::string& qid,
                  bool again, Seen& s) {
  std::string kind = StateFeed::kind(picker);
  auto caps = notifier->capabilities();
  if (caps.reached != ready) {
    ready = caps.reached;
    std::string status = ready ? "authorized" : "unavailable";
    setAuthorization(status);
    trace(std::string("notifications granted=") + boolText(ready) + " status=" + status +
          (ready ? " server=" + caps.server : " why=" + caps.error));
  }

  Notifier::Request request;
  request.summary = StateFeed::redact(Control::displayName(term)) + " — " + subtitle(kind, again);
  request.body = body(picker, kind);
  request.sound = again;  // the first notification is silent, the reminder is heard
  request.persistent = true;
  request.hints["desktop-entry"] = "velmo";
  request.hints["x-velmo-question"] = kQuestionPrefix + qid;

  size_t shown = 0;
  for (const auto& option : picker.options) {
    if (shown++ == kOptionButtons) break;
    request.actions.push_back(
        button("opt." + option.n, StateFeed::redact(Text::prefix(option.label, kLabelChars))));
  }
  if (kind == "ask" && picker.freeRow >= 1 && !picker.multi && caps.names.count("inline-reply")) {
    Notifier::Action reply = button("reply", Lang::pick("Reply", "תשובה חופשית"));
    reply.textInput = true;
    reply.sendLabel = Lang::pick("Send", "שליחה");
    request.actions.push_back(reply);
  }
  request.actions.push_back(button("open", Lang::pick("Open in Velmo", "פתיחה בולמו")));
  size_t counted = request.actions.size();
  // Clicking the notification itself opens the conversation too.
  request.actions.push_back(button("default", Lang::pick("Open in Velmo", "פתיחה בולמו")));

  if (again && s.serverID) {
    notifier->close(s.serverID);
    s.serverID = 0;
  }
  auto posted = notifier->post(request);
  s.serverID = posted.id;
  s.server = posted.id ? caps.server : "";
  trace("post " + qid + " kind=" + kind + " again=" + boolText(again) +
        " actions=" + std::to_string(counted) + (posted.id ? " ok" : " error=" + posted.error));
}

void Notify::closed(uint32_t id) {
  std::lock_guard<std::mutex> guard(lock);
  bool changed = false;
  for (auto& [qid, s] : questions)
    if (s.serverID == id) {
      // Gone from the screen (dismissed, expired or answered): nothing left to take away,
      // and the id is the server's to reuse. The question keeps its posted time, so it
      // is not posted again before its reminder.
      s.serverID = 0;
      changed = true;
    }
  if (changed) save();
}

void Notify::respond(uint32_t id, const std::string& action, const std::string& text, bool reply) {
  std::string qid, tty, sid;
  std::function<void(const std::string&)> open;
  {
    std::lock_guard<std::mutex> guard(lock);
    for (const auto& [q, s] : questions)
      if (s.serverID == id) {
        qid = q;
        tty = s.tty;
        sid = s.sid;
      }
    open = openHook;
  }
  if (qid.empty()) return;  // another program's notification, or one of ours already gone

  if (action == "open" || action == "default") {
    if (open) hooks.main([open, sid] { open(sid); });
    return;
  }
  std::string option, answerText;
  if (Text::startsWith(action, "opt.") && !reply) {
    option = "#" + action.substr(4);
  } else if (reply && action == "reply") {
    answerText = text;
  } else {
    return;
  }

  std::weak_ptr<Notify> weak = weak_from_this();
  hooks.background([weak, qid, tty, option, answerText] {
    auto self = weak.lock();
    if (!self) return;
    const Terminal* term = nullptr;
    auto terms = self->hooks.terminals();
    for (const auto& t : terms)
      if (t.tty == tty) {
        term = &t;
        break;
      }
    if (!term) {
      self->fyi(Lang::pick("Not sent: the terminal is gone", "לא נשלח: המסוף נסגר"));
      return;
    }
    Control::Authorize allow = [](const Terminals::Picker&, const std::string&, const std::string&,
                                  const std::string&) {
      return Control::Authorization{true, "orlen", "Orlen's click on the notification"};
    };
    nlohmann::json result =
        self->hooks.answer(*term, qid, option, answerText, "notification", allow);
    if (result.value("ok", false)) return;
    std::string why;
    if (result.contains("error") && result["error"].is_string())
      why = result["error"].get<std::string>();
    else if (result.contains("result") && result["result"].is_string())
      why = result["result"].get<std::string>();
    self->fyi(Lang::pick("Not sent — ", "לא נשלח — ") + why);
  });
}
