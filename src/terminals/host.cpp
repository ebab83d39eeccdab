#include "terminals/host.h"

#include <mutex>

#include "base/settings.h"
#include "terminals/tmux_host.h"

namespace Terminals {
namespace {
std::mutex lock;
std::shared_ptr<TerminalHost> current;
}  // namespace

TerminalHost& host() {
  std::lock_guard<std::mutex> guard(lock);
  if (!current) current = std::make_shared<TmuxHost>();
  return *current;
}

void installHost(std::shared_ptr<TerminalHost> h) {
  std::lock_guard<std::mutex> guard(lock);
  current = std::move(h);
}

}  // namespace Terminals
