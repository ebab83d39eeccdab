#include "terminals/automation.h"

#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "base/files.h"
#include "base/lang.h"
#include "base/paths.h"
#include "base/text.h"
#include "terminals/discover.h"
#include "terminals/host.h"

namespace Terminals {
namespace {

constexpr double kCheckEvery = 0.6;
constexpr int kAttempts = 4;
constexpr int kChecksPerAttempt = 4;
constexpr size_t kNeedleChars = 24;

std::string oneLine(const std::string& text) {
  return Text::trimBlanks(Text::replaceAll(text, "\n", " "));
}

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
  auto it = json->find(field);
  return it != json->end() && it->is_string() ? it->get<std::string>() : "";
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

bool sendWith(const std::string& text, const std::string& tty, const TerminalList& terminals) {
  std::string line = oneLine(text);
  if (line.empty()) return false;
  // An idle agent turns busy the moment it takes a line, which tells us without reading
  // the screen; an agent that was not idle can only be judged by its input box. The status
  // is taken before typing, as the agent may turn busy before a later look.
  std::optional<int64_t> watched;
  for (const auto& t : terminals())
    if (t.tty == tty) {
      if (status(t.pid) == "idle") watched = t.pid;
      break;
    }
  if (!host().typeLine(tty, line)) return false;
  std::string needle = Text::suffix(line, kNeedleChars);
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    for (int check = 0; check < kChecksPerAttempt; ++check) {
      Clock::sleep(kCheckEvery);
      if (watched && status(*watched) != "idle") return true;
      // An unreadable screen decides nothing; keep waiting.
      if (stillTyped(needle, tty) == false) return true;
    }
    if (attempt < kAttempts) host().typeLine(tty, "");
  }
  return false;
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

bool send(const std::string& text, const std::string& tty) {
  return sendWith(text, tty, [] { return open(); });
}

bool send(const std::string& text, const std::string& tty, const std::vector<Terminal>& terminals) {
  return sendWith(text, tty, [&] { return terminals; });
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
