#include "app/conversation.h"

#include <algorithm>
#include <optional>

#include "app/rack.h"
#include "base/json_field.h"
#include "base/settings.h"
#include "base/text.h"
#include "library/commands.h"
#include "page/panel_chat.h"
#include "terminals/automation.h"

namespace {

constexpr double kPendingSeconds = 120;  // a sent text shows at most this long unconfirmed

std::optional<std::string> ttyOf(const std::vector<Terminal>& terminals, const std::string& sid) {
  for (const auto& t : terminals)
    if (t.sessionID == sid && !t.tty.empty()) return t.tty;
  return std::nullopt;
}

}  // namespace

Conversation::Conversation(Lanes& l, Reports& r, std::shared_ptr<const AppSources> s)
    : lanes(l), reports(r), sources(std::move(s)) {}

void Conversation::restore() {
  openSID = Settings::text("openSID");
}

void Conversation::setOpenSID(const std::string& sid) {
  if (find.is_object()) {
    auto own = find.find("sid");
    if (own == find.end() || !own->is_string() || own->get<std::string>() != sid) find = nullptr;
  }
  if (sid == openSID) return;
  openSID = sid;
  Settings::set("openSID", sid);
}

void Conversation::open(const std::string& sid, const nlohmann::json& request) {
  setOpenSID(sid);
  if (request.is_object()) {
    std::string query = Text::trim(JsonField::text(request, "query"));
    if (Text::length(query) >= 2) {
      auto ts = request.find("ts");
      double at = ts != request.end() && ts->is_number() ? ts->get<double>() : 0;
      ++findToken;
      find = {{"sid", sid},         {"query", query},
              {"ts", at},           {"role", JsonField::text(request, "role")},
              {"token", findToken}, {"ready", at <= 0}};
    }
  }
  chatWant = kFirstWant;
  pending.clear();
}

void Conversation::close() {
  setOpenSID("");
  pending.clear();
}

void Conversation::stepTo(const std::string& sid) {
  setOpenSID(sid);
  chatWant = kFirstWant;
  pending.clear();
}

Follow Conversation::step(const std::vector<std::string>& order, int by) {
  auto next = stepRack(order, openSID, by);
  if (!next) return Follow::nothing;
  stepTo(*next);
  return Follow::repaint;
}

Follow Conversation::more() {
  chatWant = Panel::nextWant(chatWant);
  return Follow::repaint;
}

Follow Conversation::forgetFind() {
  find = nullptr;
  return Follow::nothing;
}

nlohmann::json Conversation::shownFind() const {
  if (!find.is_object() || openSID.empty() || JsonField::text(find, "sid") != openSID) return nullptr;
  return find;
}

std::vector<std::string> Conversation::pendingTexts(Clock::Time now) {
  std::erase_if(pending, [&](const PendingText& p) { return now - p.at > kPendingSeconds; });
  std::vector<std::string> texts;
  for (const auto& p : pending) texts.push_back(p.text);
  return texts;
}

Conversation::Reach Conversation::reach() const {
  Reach r;
  if (!find.is_object()) return r;
  if (auto ts = find.find("ts"); ts != find.end() && ts->is_number()) r.at = ts->get<double>();
  if (auto t = find.find("token"); t != find.end() && t->is_number_integer())
    r.token = t->get<int64_t>();
  return r;
}

bool Conversation::reached(const std::string& sid, int need, int64_t token) {
  if (openSID != sid) return false;
  chatWant = std::max(chatWant, need);
  if (find.is_object() && find.value("token", int64_t{-2}) == token) find["ready"] = true;
  return true;
}

void Conversation::send(PageLink& page, const std::string& sid, const std::string& body) {
  struct Found {
    std::optional<std::string> tty;
    std::vector<Terminal> terminals;
  };
  // The terminal list may need a discovery, so it is looked up off the main thread.
  lanes.then(
      [src = sources, sid] {
        Found f;
        f.terminals = src->openTerminals();
        f.tty = ttyOf(f.terminals, sid);
        return f;
      },
      [this, &page, generation = page.generation(), sid, body](Found f) {
        if (!f.tty) {
          reports.closedTerminal();
          return Follow::nothing;
        }
        pending.push_back({body, Clock::now()});
        std::string tty = *f.tty;
        lanes.then(
            [body, tty, terminals = std::move(f.terminals)] {
              Terminals::Sent sent = Terminals::sendMessage(body, tty, terminals);
              // A bare command that opens a picker is answered in the terminal itself.
              if (sent.ok && Commands::opensPicker(body)) Terminals::raise(tty, terminals);
              return sent;
            },
            [this, &page, generation, tty, sid, body](const Terminals::Sent& sent) {
              if (sent.ok) return Follow::nothing;
              pending.clear();  // a failed text must not linger in the chat
              // Nothing typed: the words go back into the composer they came from.
              if (!sent.typed) page.callSame(generation, "unsent", {jsString(sid), jsString(body)});
              if (sent.unsent) return reports.unsentText(tty);
              return sent.why.empty() ? reports.sendFailure()
                                      : reports.messageFailure(sent.why, tty);
            },
            true);
        return Follow::repaint;
      });
}
