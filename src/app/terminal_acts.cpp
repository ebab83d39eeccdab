#include "app/terminal_acts.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <vector>

#include "base/lang.h"
#include "base/log.h"
#include "feed/state_feed.h"
#include "sessions/state.h"
#include "terminals/answer.h"
#include "terminals/automation.h"

namespace TerminalActs {
namespace {

std::optional<std::string> ttyOf(const std::vector<Terminal>& terminals, const std::string& sid) {
  for (const auto& t : terminals)
    if (t.sessionID == sid && !t.tty.empty()) return t.tty;
  return std::nullopt;
}

// The prompt with the question id the page drew its card from. A card drawn while the
// screen could not be read carries none, and answers nothing: it would answer whatever
// prompt shows when the keys arrive.
Terminals::Meant meantBy(const std::string& expect) {
  if (expect.empty()) return {};
  return StateFeed::showing(expect);
}

const char* unreadCard() {
  return Lang::pick(
      "This card was drawn while the terminal's screen could not be read, so it cannot say "
      "which question it answers — nothing was typed; answer in the terminal",
      "הכרטיס הזה צויר כשלא ניתן היה לקרוא את מסך המסוף, ולכן לא ידוע לאיזו שאלה הוא עונה — "
      "לא הוקלד דבר; לענות במסוף");
}

}  // namespace

bool plainSessionID(const std::string& sid) {
  if (sid.empty() || sid.size() > 64 || sid.front() == '-') return false;
  return std::all_of(sid.begin(), sid.end(),
                     [](unsigned char c) { return std::isxdigit(c) || c == '-'; });
}

Follow answer(Lanes& lanes, Reports& reports, const std::string& tty, const std::string& pick,
              const std::string& text, const std::string& expect) {
  if (tty.empty() || (pick.empty() && text.empty())) return Follow::nothing;
  if (expect.empty()) return reports.sendFailure(unreadCard(), tty);
  lanes.then(
      [tty, pick, text, meant = meantBy(expect)] {
        return !text.empty() ? Terminals::answerFree(text, tty, meant)
                             : Terminals::choose(pick, tty, meant);
      },
      [&reports, tty](const Terminals::Answered& done) {
        return (done.ok ? Follow::nothing : reports.sendFailure(done.why, tty)) | Follow::repaint;
      },
      true);
  return Follow::nothing;
}

void answerFree(Lanes& lanes, PageLink& page, const std::string& tty, const std::string& text,
                const std::string& expect) {
  if (tty.empty()) return;
  uint64_t generation = page.generation();
  if (expect.empty()) {
    page.callSame(generation, "freeDone", {"false", jsString(unreadCard())});
    return;
  }
  lanes.then(
      [tty, text, meant = meantBy(expect)] { return Terminals::answerFree(text, tty, meant); },
      [&page, generation](const Terminals::Answered& done) {
        // The button waiting for this belongs to the page that sent it.
        page.callSame(generation, "freeDone", {done.ok ? "true" : "false", jsString(done.why)});
        return Follow::repaint;
      },
      true);
}

void resume(Lanes& lanes, Reports& reports, const AppSources::Ptr& sources,
            const std::string& sid) {
  if (!plainSessionID(sid)) return;
  lanes.then(
      [src = sources, sid] {
        std::vector<Terminal> terminals = src->openTerminals();
        if (auto tty = ttyOf(terminals, sid)) {
          Terminals::raise(*tty, terminals);
          return std::string();
        }
        auto state = Sessions::state(sid);
        return Terminals::spawnClaude(state ? state->cwd : "", {"--resume", sid});
      },
      [&reports](const std::string& failed) {
        if (!failed.empty()) reports.openFailure(failed);
        return Follow::repaint;
      });
}

void raise(Lanes& lanes, const AppSources::Ptr& sources, const std::string& given,
           const std::string& openSID) {
  if (given.empty() && openSID.empty()) return;
  lanes.background([src = sources, given, sid = openSID] {
    std::vector<Terminal> terminals = src->openTerminals();
    std::string tty = given.empty() ? ttyOf(terminals, sid).value_or("") : given;
    if (!tty.empty()) Terminals::raise(tty, terminals);
  });
}

void newTerminal(Lanes& lanes, Reports& reports) {
  lanes.then([] { return Terminals::spawnClaude("", {}); },
             [&reports](const std::string& failed) {
               if (!failed.empty()) reports.openFailure(failed);
               return Follow::repaint;
             });
}

void wakeAll(Lanes& lanes, const AppSources::Ptr& sources) {
  struct Woken {
    size_t tried = 0;
    int sent = 0;
  };
  std::string word = Lang::pick("continue", "תמשיך");
  lanes.then(
      [src = sources, word] {
        Woken w;
        std::vector<std::string> ttys;
        for (const auto& u : src->rackRows())
          if (u.state == "wait" && !u.sid.empty() && !u.tty.empty()) ttys.push_back(u.tty);
        w.tried = ttys.size();
        if (ttys.empty()) return w;
        std::vector<Terminal> terminals = src->openTerminals();
        for (const auto& tty : ttys) {
          Terminals::Sent sent = Terminals::send(word, tty, terminals);
          if (sent) ++w.sent;
          else Log::note("wake all: not sent to " + tty + " — " + sent.why);
        }
        return w;
      },
      [](Woken w) {
        if (w.tried == 0) {
          Log::note(Lang::pick("No terminal is waiting for you", "אין מסוף שממתין לך"));
          return Follow::nothing;
        }
        std::string n = std::to_string(w.sent), m = std::to_string(w.tried);
        Log::note(Lang::hebrew() ? "נשלח ל-" + n + " מתוך " + m : "Sent to " + n + " of " + m);
        return Follow::repaint;
      },
      true);
}

}  // namespace TerminalActs
