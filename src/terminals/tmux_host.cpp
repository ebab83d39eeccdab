#include "terminals/tmux_host.h"

#include "base/process.h"
#include "base/text.h"

namespace Terminals {

TmuxHost::TmuxHost(std::vector<std::string> tmuxArgs) : prefix(std::move(tmuxArgs)) {}

std::optional<std::string> TmuxHost::tmux(std::vector<std::string> args, double timeout) {
  // -u: without a UTF-8 locale tmux prints every tab and non-ASCII character of a
  // format as "_", which breaks the tab-separated listings and every title.
  std::vector<std::string> all{"-u"};
  all.insert(all.end(), prefix.begin(), prefix.end());
  all.insert(all.end(), args.begin(), args.end());
  return shell("tmux", all, timeout);
}

std::map<std::string, std::string> TmuxHost::parseTitles(const std::string& listing) {
  std::map<std::string, std::string> out;
  for (const auto& line : Text::split(listing, '\n')) {
    auto parts = Text::split(line, '\t', false);
    if (parts.size() < 3 || parts[0].empty()) continue;
    // A title the user gave through Velmo wins over what the program in the pane set.
    out[parts[0]] = !parts[1].empty() ? parts[1] : parts[2];
  }
  return out;
}

std::optional<std::map<std::string, std::string>> TmuxHost::titles() {
  auto out = tmux({"list-panes", "-a", "-F", "#{pane_tty}\t#{@velmo_title}\t#{pane_title}"});
  if (!out) return std::nullopt;
  return parseTitles(*out);
}

// The rest of the seam lands with terminal automation.
std::optional<std::vector<Screen>> TmuxHost::screens() { return std::nullopt; }
std::optional<std::string> TmuxHost::screen(const std::string&) { return std::nullopt; }
bool TmuxHost::typeLine(const std::string&, const std::string&) { return false; }
bool TmuxHost::typeKeys(const std::string&, int, const std::string&) { return false; }
bool TmuxHost::setTitle(const std::string&, const std::string&) { return false; }
bool TmuxHost::raise(const std::string&) { return false; }
bool TmuxHost::open(const std::string&, const std::vector<std::string>&) { return false; }
void TmuxHost::close(const std::string&) {}
bool TmuxHost::closeSingle(const std::string&) { return false; }

}  // namespace Terminals
