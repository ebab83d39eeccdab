#include "terminals/proc_list.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "base/files.h"
#include "base/process.h"
#include "base/text.h"

namespace Terminals {
namespace {

// /proc files read as empty by size: only the cap bounds them.
constexpr int64_t kStatusBytes = 16384;
constexpr int64_t kCommandBytes = int64_t{128} * 1024;
// Unix98 pseudo-terminal slaves have majors 136 to 143.
constexpr long long kFirstPtsMajor = 136;
constexpr long long kLastPtsMajor = 143;

std::string procFile(const std::string& pid, const char* name) {
  return "/proc/" + pid + "/" + name;
}

// The real uid: the first number of the "Uid:" line.
std::optional<long long> realUid(const std::string& pid) {
  auto status = Files::read(procFile(pid, "status"), kStatusBytes);
  if (!status) return std::nullopt;
  size_t at = status->find("\nUid:");
  if (at == std::string::npos) return std::nullopt;
  auto words = Text::split(status->substr(at + 5, status->find('\n', at + 5) - at - 5), '\t');
  long long uid = 0;
  if (words.empty() || !Text::parseInt(Text::trim(words[0]), uid)) return std::nullopt;
  return uid;
}

std::string commandLine(const std::string& pid) {
  auto raw = Files::read(procFile(pid, "cmdline"), kCommandBytes);
  if (!raw) return "";
  std::string args = *raw;
  while (!args.empty() && args.back() == '\0') args.pop_back();
  for (char& c : args) {
    if (c == '\0')
      c = ' ';
    else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      c = '?';
  }
  return args;
}

}  // namespace

std::string terminalName(long long ttyNumber) {
  long long major = (ttyNumber >> 8) & 0xfff;
  long long minor = (ttyNumber & 0xff) | ((ttyNumber >> 12) & 0xfff00);
  if (ttyNumber <= 0 || major < kFirstPtsMajor || major > kLastPtsMajor) return "?";
  return "pts/" + std::to_string((major - kFirstPtsMajor) * 256 + minor);
}

std::string elapsedText(long long seconds) {
  if (seconds < 0) seconds = 0;
  long long days = seconds / 86400, hours = seconds / 3600 % 24;
  long long minutes = seconds / 60 % 60, rest = seconds % 60;
  char text[48];
  if (days > 0)
    std::snprintf(text, sizeof text, "%lld-%02lld:%02lld:%02lld", days, hours, minutes, rest);
  else if (hours > 0)
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", hours, minutes, rest);
  else
    std::snprintf(text, sizeof text, "%02lld:%02lld", minutes, rest);
  return text;
}

std::optional<std::string> listProcesses() {
  auto uptimeText = Files::read("/proc/uptime", 256);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/proc"), ::closedir);
  if (!uptimeText || !dir) return std::nullopt;
  double uptime = std::strtod(uptimeText->c_str(), nullptr);
  const long ticks = ::sysconf(_SC_CLK_TCK);

  std::string out;
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string pid = entry->d_name;
    long long number = 0;
    if (pid.find_first_not_of("0123456789") != std::string::npos || !Text::parseInt(pid, number))
      continue;
    // Read first and alone for every process: the terminal sorts most of them out.
    auto state = processState(number);
    if (!state) continue;  // gone meanwhile
    std::string terminal = terminalName(state->terminal);
    if (terminal == "?") continue;
    auto uid = realUid(pid);
    if (!uid) continue;
    std::string args = commandLine(pid);
    if (args.empty()) continue;  // a zombie, or one that ended meanwhile
    double elapsed =
        ticks > 0 ? uptime - static_cast<double>(state->startTicks) / static_cast<double>(ticks)
                  : 0;
    out += pid + " " + std::to_string(*uid) + " " + terminal + " " +
           elapsedText(static_cast<long long>(elapsed)) + " " + args + "\n";
  }
  return out;
}

}  // namespace Terminals
