// velmo-q: the command-line client of Velmo's control socket, run by a coordinating
// agent session. One request, one reply, printed as JSON.

#include <cstdio>
#include <string>
#include <vector>

#include "base/lang.h"
#include "base/version.h"
#include "control/client.h"
#include "control/control.h"

namespace {

constexpr int kUsageStatus = 64;
constexpr int kUnreachable = 2;
// request-click may wait ten minutes for the owner; a little more for the reply itself.
constexpr double kReplySeconds = 660;

void say(const std::string& text) {
  std::fprintf(stderr, "velmo-q: %s\n", text.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  Control::ClientCall call = Control::parseClient(args);
  if (call.help) {
    std::fputs(Control::clientUsage().c_str(), stdout);
    return 0;
  }
  if (call.version) {
    std::puts(Version::line("velmo-q").c_str());
    return 0;
  }
  if (!call.error.empty()) {
    say(call.error);
    std::fputs(Control::clientUsage().c_str(), stderr);
    return kUsageStatus;
  }
  Control::Exchange done = Control::exchange(Control::socketPath(), call.request, kReplySeconds);
  if (!done.reply) {
    say(done.failure);
    return kUnreachable;
  }
  std::string text = done.reply->dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  std::puts(text.c_str());
  auto ok = done.reply->find("ok");
  return ok != done.reply->end() && ok->is_boolean() && !ok->get<bool>() ? 1 : 0;
}
