#include "terminals/automation.h"

#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "base/files.h"
#include "base/json_field.h"
#include "base/lang.h"
#include "base/paths.h"
#include "base/text.h"
#include "terminals/discover.h"
#include "terminals/host.h"
#include "terminals/input_row.h"
#include "terminals/picker.h"

namespace Terminals {
namespace {

constexpr double kCheckEvery = 0.6;
constexpr int kAttempts = 4;
constexpr int kChecksPerAttempt = 4;
constexpr size_t kNeedleChars = 24;

std::string removeSpaces(const std::string& s) {
  return Text::replaceAll(s, " ", "");
}

std::optional<std::string> folderFor(const std::string& cwd) {
  std::string folder = cwd.empty() ? Paths::home() : cwd;
  if (!Files::isDirectory(folder)) return std::nullopt;
  return folder;
}

std::string folderMissing(const std::string& cwd) {
  std::string folder = cwd.empty() ? Paths::home() : cwd;
  return Lang::pick("Folder not found — ", "התיקייה לא נמצאה — ") + folder;
}

}  // namespace

std::string registryField(int64_t pid, const std::string& field) {
  auto json = registryObject(Paths::agent("sessions/" + std::to_string(pid) + ".json"));
  if (!json) return "";
  return JsonField::text(*json, field.c_str());
}

std::string status(int64_t pid) {
  return registryField(pid, "status");
}

std::optional<bool> stillTyped(const std::string& needle, const std::string& tty) {
  auto screen = host().screen(tty);
  if (!screen || *screen == "<<none>>") return std::nullopt;
  auto lines = Text::split(*screen, '\n', false);
  if (lines.empty()) return false;
  int prompt = -1;
  for (int i = static_cast<int>(lines.size()) - 1; i >= 0; --i) {
    if (Text::startsWith(lines[static_cast<size_t>(i)], "❯")) {
      prompt = i;
      break;
    }
  }
  if (prompt < 0) return false;
  // The input box may wrap the text over several rows; its bottom edge ends it.
  std::string box;
  for (size_t i = static_cast<size_t>(prompt); i < lines.size(); ++i) {
    if (Text::contains(lines[i], "────")) break;
    box += lines[i];
  }
  return Text::contains(removeSpaces(box), removeSpaces(needle));
}

namespace {

using TerminalList = std::function<std::vector<Terminal>()>;

// What a send types: one line, or a message pasted with its line breaks.
struct Typing {
  std::string text;
  bool paste = false;
};

Typing typingOf(const std::string& text, bool keepLineBreaks) {
  if (keepLineBreaks) {
    std::string message = Text::trim(typeable(text, true));
    if (Text::contains(message, "\n")) return {message, true};
  }
  // Line feeds turn into spaces before the other control characters go, so that the words
  // of two lines stay apart.
  return {Text::trimBlanks(typeable(Text::replaceAll(text, "\n", " "))), false};
}

Sent refused(const char* why) {
  return {false, false, why};
}

const char* promptOpen() {
  return Lang::pick("The terminal is waiting on a question; answer it first",
                    "המסוף ממתין לתשובה לשאלה; יש לענות עליה קודם");
}
const char* screenUnread() {
  return Lang::pick("The terminal's screen cannot be read, so nothing was typed into it",
                    "אי־אפשר לקרוא את מסך המסוף, ולכן לא הוקלד בו דבר");
}
const char* noInputRow() {
  return Lang::pick("The agent's input row is not on the terminal's screen, so nothing was typed",
                    "שורת הקלט של הסוכן לא מופיעה במסך המסוף, ולכן לא הוקלד דבר");
}
const char* typingFailed() {
  return Lang::pick("Could not type into the terminal window", "לא הצלחתי להקליד בחלון־המסוף");
}
const char* notTaken() {
  return Lang::pick("The text was typed, but the agent did not take it",
                    "הטקסט הוקלד, אבל הסוכן לא קיבל אותו");
}

// Whether a Return may be pressed again for a text still in the input row: only while the
// screen shows that row holding it and no prompt, which would take the Return instead.
// A pasted message may show folded ("[Pasted text …]"): the row, empty before, holds it.
bool mayPressAgain(const Typing& typing, const std::string& needle, const std::string& tty) {
  auto screen = host().screen(tty);
  if (!screen || *screen == "<<none>>" || parseScreen(*screen, tty)) return false;
  if (typing.paste) {
    auto draft = draftOn(tty);
    return draft && !draft->empty();
  }
  return stillTyped(needle, tty) == true;
}

Sent sendWith(const std::string& text, const std::string& tty, const TerminalList& terminals,
              bool keepLineBreaks) {
  Typing typing = typingOf(text, keepLineBreaks);
  if (typing.text.empty()) return {};
  if (auto refusal = notReady(tty)) return *refusal;
  // An idle agent turns busy the moment it takes a line, which tells us without reading
  // the screen; an agent that was not idle can only be judged by its input box. The status
  // is taken before typing, as the agent may turn busy before a later look.
  std::optional<int64_t> watched;
  for (const auto& t : terminals())
    if (t.tty == tty) {
      if (status(t.pid) == "idle") watched = t.pid;
      break;
    }
  bool typed =
      typing.paste ? host().pasteLine(tty, typing.text) : host().typeLine(tty, typing.text);
  if (!typed) return refused(typingFailed());
  // A pasted message may be shown folded ("[Pasted text …]"), so it is known to be taken
  // when the input row is empty again; where no input row can be told, by its last line
  // leaving the box.
  std::string needle = Text::suffix(typing.text.substr(typing.text.rfind('\n') + 1), kNeedleChars);
  auto taken = [&] {
    if (typing.paste)
      if (auto draft = draftOn(tty)) return draft->empty();
    // An unreadable screen decides nothing; keep waiting.
    return stillTyped(needle, tty) == false;
  };
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    for (int check = 0; check < kChecksPerAttempt; ++check) {
      Clock::sleep(kCheckEvery);
      if ((watched && status(*watched) != "idle") || taken()) return {true, false, "", true};
    }
    if (attempt < kAttempts && mayPressAgain(typing, needle, tty)) host().typeLine(tty, "");
  }
  return {false, false, notTaken(), true};
}

bool raiseWith(const std::string& tty, const TerminalList& terminals) {
  if (host().raise(tty)) return true;
  // A background session has no terminal of its own to raise: show it in a new one.
  for (const auto& t : terminals())
    if (t.tty == tty && !t.jobId.empty())
      return spawnClaude(Paths::home(), {"attach", t.jobId}).empty();
  return false;
}

}  // namespace

std::optional<Sent> notReady(const std::string& tty) {
  auto screen = host().screen(tty);
  if (!screen || *screen == "<<none>>") return refused(screenUnread());
  if (parseScreen(*screen, tty)) return refused(promptOpen());
  // Typing into a row that holds a person's unsent words would add to them, and Return
  // would send both.
  auto draft = draftOn(tty);
  if (!draft) return refused(noInputRow());
  if (!draft->empty()) return Sent{false, true, unsentRefusal()};
  return std::nullopt;
}

Sent send(const std::string& text, const std::string& tty) {
  return sendWith(
      text, tty, [] { return open(); }, false);
}

Sent send(const std::string& text, const std::string& tty, const std::vector<Terminal>& terminals) {
  return sendWith(
      text, tty, [&] { return terminals; }, false);
}

Sent sendMessage(const std::string& text, const std::string& tty,
                 const std::vector<Terminal>& terminals) {
  return sendWith(
      text, tty, [&] { return terminals; }, true);
}

bool setWindowTitle(const std::string& title, const std::string& tty) {
  return host().setTitle(tty, title);
}

bool raise(const std::string& tty) {
  return raiseWith(tty, [] { return open(); });
}

bool raise(const std::string& tty, const std::vector<Terminal>& terminals) {
  return raiseWith(tty, [&] { return terminals; });
}

std::optional<std::string> claudePath() {
  const std::string home = Paths::home();
  for (const std::string& candidate :
       {home + "/.local/bin/claude", home + "/.claude/local/claude",
        std::string("/opt/homebrew/bin/claude"), std::string("/usr/local/bin/claude")})
    if (Files::isExecutableFile(candidate)) return candidate;
  const char* path = std::getenv("PATH");
  for (const auto& dir : Text::split(path ? path : "", ':')) {
    std::string candidate = Files::join(dir, "claude");
    if (Files::isExecutableFile(candidate)) return candidate;
  }
  return std::nullopt;
}

std::string spawnClaude(const std::string& cwd, const std::vector<std::string>& args) {
  auto folder = folderFor(cwd);
  if (!folder) return folderMissing(cwd);
  Launch what;
  what.argv.push_back(claudePath().value_or("claude"));
  what.argv.insert(what.argv.end(), args.begin(), args.end());
  if (host().open(*folder, what)) return "";
  return host().openFailure(false);
}

std::string spawn(const std::string& cwd, bool bypass) {
  auto folder = folderFor(cwd);
  if (!folder) return folderMissing(cwd);
  Launch what;
  what.argv = {"cx"};
  if (bypass) what.argv.push_back("--dangerously-skip-permissions");
  what.userShell = true;
  if (host().open(*folder, what)) return "";
  return host().openFailure(true);
}

}  // namespace Terminals
