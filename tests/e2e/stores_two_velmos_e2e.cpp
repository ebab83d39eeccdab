// Two Velmos on one home, the person working in both pages at once: renames and continue
// clicks sent to each, interleaved, while the one that owns the terminals runs its passes.
// Every change must be on disk afterwards, whichever Velmo made it.

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "base/files.h"
#include "e2e/page_bridge.h"
#include "e2e/velmo_run.h"
#include "support/home.h"
#include "support/tmux_lab.h"

namespace {

constexpr int kEach = 8;  ///< renames and continue clicks sent to each Velmo
/// The names stored in the end: one from before, each Velmo's, and one renamed in both.
constexpr size_t kNames = static_cast<size_t>(kEach) * 2 + 2;

struct Served {
  std::unique_ptr<VelmoRun> run;
  std::unique_ptr<Bridge> page;
};

nlohmann::json onDisk(const std::string& path) {
  auto json = nlohmann::json::parse(Files::read(path).value_or(""), nullptr, false);
  return json.is_object() ? json : nlohmann::json::object();
}

std::string sid(const std::string& stem, int i) {
  return stem + std::to_string(i) + "-0000-4000-8000-000000000000";
}

class TwoVelmos : public ::testing::Test {
 protected:
  void SetUp() override {
    // A hand-off waiting for its click, for every conversation each Velmo will continue,
    // and records of an older build that the owner's first pass migrates meanwhile.
    nlohmann::json relay = nlohmann::json::object();
    std::string handoff = home.write("Documents/claude/handoffs/h.md", std::string(400, 'x'));
    for (int i = 0; i < 2 * kEach; ++i)
      relay[sid("r", i)] = {{"stage", "ready"},        {"file", handoff},
                            {"cwd", home.path()},      {"name", "work " + std::to_string(i)},
                            {"at", "2020-01-01T00:00:00Z"}};
    for (int i = 0; i < 4; ++i)
      relay[sid("s", i)] = {{"stage", "spawned"}, {"file", handoff}, {"cwd", home.path()},
                            {"name", ""},         {"at", "2020-01-01T00:00:00Z"}};
    home.write(".claude/velmo-relay.json", relay.dump(2));
    home.write(".claude/velmo-names.json", R"({"before": "Named before"})");
    for (Served* s : {&first, &second}) start(*s);
  }

  void start(Served& s) {
    s.run = std::make_unique<VelmoRun>(VELMO_BINARY,
                                       std::vector<std::string>{"--serve", "--no-open"},
                                       servedBeside(home.path(), tmux.dir()));
    auto line = s.run->line(60);
    ASSERT_TRUE(line) << "velmo --serve printed no address";
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(*line, m, std::regex(R"(^http://127\.0\.0\.1:(\d+)/\?token=(\w+))")));
    s.page = std::make_unique<Bridge>("ws://127.0.0.1:" + m[1].str() + "/bridge?token=" + m[2].str(),
                                      "http://127.0.0.1:" + m[1].str());
    ASSERT_TRUE(s.page->conn);
    ASSERT_FALSE(s.page->next("paint", 30).is_null()) << "no first paint";
  }

  void TearDown() override {
    for (Served* s : {&first, &second}) {
      s->page.reset();
      s->run.reset();
    }
  }

  /// Waits, answering both pages' calls, until `check` holds (read four times a second).
  bool until(const std::function<bool()>& check, double seconds) {
    gint64 next = 0;
    return first.page->spin(
        [&] {
          for (Served* s : {&first, &second})
            while (!s->page->inbox.empty()) {
              auto call = s->page->inbox.front();
              s->page->inbox.pop_front();
              if (call.contains("id")) s->page->reply(call, nullptr);
            }
          if (g_get_monotonic_time() < next) return false;
          next = g_get_monotonic_time() + 250'000;
          return check();
        },
        seconds);
  }

  ScopedHome home;
  PrivateTmux tmux;
  Served first, second;
};

}  // namespace

TEST_F(TwoVelmos, RenamesAndContinueClicksInBothPagesAllSurvive) {
  // Both pages have painted, so each Velmo read the stores before any of these changes.
  for (int i = 0; i < kEach; ++i) {
    first.page->send({{"act", "rename"}, {"sid", sid("a", i)}, {"name", "First " + std::to_string(i)}});
    second.page->send(
        {{"act", "rename"}, {"sid", sid("b", i)}, {"name", "Second " + std::to_string(i)}});
    first.page->send({{"act", "relayGo"}, {"sid", sid("r", i)}});
    second.page->send({{"act", "relayGo"}, {"sid", sid("r", kEach + i)}});
  }
  // And one conversation renamed in both, the later rename winning.
  first.page->send({{"act", "rename"}, {"sid", sid("c", 0)}, {"name", "Said first"}});

  auto names = [&] { return onDisk(home.agent("velmo-names.json")); };
  auto relay = [&] { return onDisk(home.agent("velmo-relay.json")); };
  auto settled = [&] {
    auto n = names();
    auto r = relay();
    if (n.size() != kNames) return false;
    for (int i = 0; i < 2 * kEach; ++i)
      if (r.value(sid("r", i), nlohmann::json::object()).value("stage", "") != "go") return false;
    for (int i = 0; i < 4; ++i)
      if (r.value(sid("s", i), nlohmann::json::object()).value("stage", "") != "kept")
        return false;
    return true;
  };
  bool done = until(settled, 60);
  auto n = names();
  auto r = relay();
  EXPECT_TRUE(done) << "names: " << n.dump(1) << "\nrelay: " << r.dump(1);
  EXPECT_EQ(n.value("before", ""), "Named before");
  for (int i = 0; i < kEach; ++i) {
    EXPECT_EQ(n.value(sid("a", i), ""), "First " + std::to_string(i));
    EXPECT_EQ(n.value(sid("b", i), ""), "Second " + std::to_string(i));
  }
  for (int i = 0; i < 2 * kEach; ++i)
    EXPECT_EQ(r.value(sid("r", i), nlohmann::json::object()).value("stage", ""), "go")
        << sid("r", i) << " lost its continue click";
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(r.value(sid("s", i), nlohmann::json::object()).value("stage", ""), "kept");

  // The same conversation renamed again in the other page: the later name is the one kept.
  second.page->send({{"act", "rename"}, {"sid", sid("c", 0)}, {"name", "Said last"}});
  EXPECT_TRUE(until([&] { return names().value(sid("c", 0), "") == "Said last"; }, 30));
  EXPECT_EQ(names().size(), kNames);
  // A later rename in the first page keeps what the second wrote since.
  first.page->send({{"act", "rename"}, {"sid", sid("a", 0)}, {"name", "Seen by both"}});
  EXPECT_TRUE(until([&] { return names().value(sid("a", 0), "") == "Seen by both"; }, 30));
  EXPECT_EQ(names().value(sid("b", 0), ""), "Second 0");
}
