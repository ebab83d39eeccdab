// What one rack costs the scan apart from its readers: building the rows of many
// terminals (each row asks the muted store, which is a file read) and sorting them,
// and building the page document once per load.

#include "page/panel.h"

#include <cstdio>
#include <string>
#include <vector>

#include "page/document.h"
#include "page/muted.h"
#include "support/home.h"

namespace {

template <typename F>
double perRun(int runs, F&& body) {
  double start = Clock::monotonic();
  for (int i = 0; i < runs; ++i) body();
  return (Clock::monotonic() - start) / runs;
}

}  // namespace

int main() {
  ScopedHome home;
  constexpr int kTerminals = 40;
  std::vector<Terminal> terms;
  std::vector<SessionState> states;
  for (int i = 0; i < kTerminals; ++i) {
    Terminal t;
    t.slot = (i < 10 ? "00" : "0") + std::to_string(i);
    t.tty = "/dev/pts/" + std::to_string(i);
    t.sessionID = "session-" + std::to_string(i);
    t.waiting = i % 3 == 0;
    terms.push_back(t);
    SessionState s;
    s.mode = static_cast<SessionState::Mode>(i % 3);
    s.lastEvent = 1.8e9 - i * 37;
    s.cwd = home.path() + "/project-" + std::to_string(i % 5);
    s.contextTokens = 1000 * i;
    states.push_back(s);
    if (i % 4 == 0) Muted::set(t.sessionID, Muted::stamp(s.lastEvent, ""));
  }

  double rack = perRun(200, [&] {
    std::vector<Panel::Unit> rows;
    for (int i = 0; i < kTerminals; ++i) rows.push_back(Panel::unitRow(terms[i], states[i], {}));
    Panel::sortUnits(rows);
    nlohmann::json sent = rows;  // the page receives JSON
  });
  std::printf("rack of %d rows (muted store read per row): %.3f ms\n", kTerminals, rack * 1e3);

  size_t size = 0;
  double document = perRun(200, [&] { size = Page::document(Page::resources(), "he").size(); });
  std::printf("page document (%zu bytes): %.3f ms\n", size, document * 1e3);
  return 0;
}
