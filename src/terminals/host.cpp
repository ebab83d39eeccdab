#include "terminals/host.h"

#include <mutex>

#include "base/lang.h"
#include "base/settings.h"
#include "base/text.h"
#include "terminals/tmux_host.h"

namespace Terminals {
namespace {
std::mutex lock;
std::shared_ptr<TerminalHost> current;
// Callers hold plain references to the host while they work; a host replaced under them
// stays alive here instead of vanishing mid-call.
std::vector<std::shared_ptr<TerminalHost>> retired;

std::shared_ptr<TerminalHost> chosen() {
  std::vector<std::string> prefix;
  std::string socket = Settings::text("tmuxSocket");
  if (!socket.empty()) prefix = {"-S", socket};
  return std::make_shared<TmuxHost>(prefix);
}
}  // namespace

std::vector<Screen> splitDump(const std::string& text, const std::string& marker) {
  std::vector<Screen> out;
  if (marker.empty()) return out;
  size_t at = text.find(marker);
  while (at != std::string::npos) {
    size_t start = at + marker.size();
    size_t next = text.find(marker, start);
    std::string piece =
        text.substr(start, next == std::string::npos ? std::string::npos : next - start);
    at = next;
    size_t eol = piece.find('\n');
    std::string header = piece.substr(0, eol);
    Screen s;
    size_t w = header.find("|W|");
    s.tty = Text::trim(header.substr(0, w));
    if (!Text::startsWith(s.tty, "/dev/")) continue;
    if (w != std::string::npos) {
      std::string id = Text::trimBlanks(header.substr(w + 3));
      if (Text::startsWith(id, "@") || Text::startsWith(id, "+")) id.erase(0, 1);
      long long n = 0;
      if (Text::parseInt(id, n)) s.window = n;
    }
    s.text = eol == std::string::npos ? "" : piece.substr(eol + 1);
    out.push_back(std::move(s));
  }
  return out;
}

TerminalHost& host() {
  std::lock_guard<std::mutex> guard(lock);
  if (!current) current = chosen();
  return *current;
}

void installHost(std::shared_ptr<TerminalHost> h) {
  std::lock_guard<std::mutex> guard(lock);
  if (current) retired.push_back(std::move(current));
  current = std::move(h);
}

std::optional<std::string> TerminalHost::styledScreen(const std::string& tty) {
  return screen(tty);
}

std::optional<std::string> TerminalHost::lastingId(const std::string& tty) {
  return tty;
}

std::optional<TerminalHost::Occupant> TerminalHost::occupant(const std::string&) {
  return Occupant{};
}

TerminalHost::Closed TerminalHost::closeSingleById(const std::string& id) {
  return closeSingle(id) ? Closed::window : Closed::kept;
}

std::string TerminalHost::openFailure(bool) const {
  return Lang::pick(
      "Opening the terminal failed — tmux could not open a window (is tmux installed?).",
      "פתיחת המסוף נכשלה — tmux לא הצליח לפתוח חלון (האם tmux מותקן?).");
}

}  // namespace Terminals
