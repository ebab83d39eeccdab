// The window under Xvfb: GTK, the web view, the page loaded as a string, the bridge both
// ways, and a snapshot of what it painted.

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <set>

#include "base/clock.h"
#include "base/files.h"
#include "e2e/velmo_run.h"
#include "support/home.h"
#include "support/tmux_lab.h"
#include "support/transcripts.h"

namespace {

// Xvfb stands in for a display; without it there is nothing to show the window on.
std::string whyNoDisplay(std::initializer_list<const char*> tools = {"xvfb-run", "Xvfb"}) {
  for (const char* tool : tools) {
    gchar* path = g_find_program_in_path(tool);
    bool found = path != nullptr;
    g_free(path);
    if (!found)
      return std::string(tool) +
             " is not installed (scripts/install-deps installs it), so the window cannot be shown";
  }
  return "";
}

struct Shot {
  int width = 0, height = 0;
  size_t colours = 0;
};

Shot inspect(const std::string& png) {
  Shot shot;
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(png.c_str(), nullptr);
  if (!pixbuf) return shot;
  shot.width = gdk_pixbuf_get_width(pixbuf);
  shot.height = gdk_pixbuf_get_height(pixbuf);
  int channels = gdk_pixbuf_get_n_channels(pixbuf), stride = gdk_pixbuf_get_rowstride(pixbuf);
  const guchar* pixels = gdk_pixbuf_read_pixels(pixbuf);
  std::set<uint32_t> seen;
  for (int y = 0; y < shot.height; y += 2)
    for (int x = 0; x < shot.width; x += 2) {
      const guchar* p = pixels + y * stride + x * channels;
      seen.insert(uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]);
    }
  shot.colours = seen.size();
  g_object_unref(pixbuf);
  return shot;
}

struct Smoke {
  std::string home = makeTempDir("velmo-window");
  std::string png = home + "/shot.png";
  std::string output;
  std::optional<int> status;

  /// `prepare` furnishes the home before Velmo starts.
  explicit Smoke(const std::string& pageDir,
                 const std::function<void(const std::string&)>& prepare = {}) {
    if (prepare) prepare(home);
    std::map<std::string, std::string> env = {{"HOME", home},
                                              {"VELMO_LANG", "en"},
                                              {"VELMO_SMOKE_SCREENSHOT", png},
                                              {"VELMO_PAGE_DIR", pageDir},
                                              {"XDG_CONFIG_HOME", ""},
                                              {"CLAUDE_CONFIG_DIR", ""}};
    VelmoRun run("xvfb-run", {"-a", "-s", "-screen 0 1280x800x24", VELMO_BINARY}, env, true);
    output = run.rest(120);
    status = run.wait(10);
  }
  ~Smoke() { removeTree(home); }
};

}  // namespace

TEST(Window, PaintsThePageAndHearsItsMessages) {
  if (auto why = whyNoDisplay(); !why.empty()) GTEST_SKIP() << why;
  Smoke smoke(VELMO_SOURCE_DIR "/tests/e2e/fixtures/page");
  ASSERT_EQ(smoke.status, 0) << smoke.output;
  Shot shot = inspect(smoke.png);
  EXPECT_EQ(shot.width, 940);
  EXPECT_GE(shot.height, 560) << "the web view fills the 940×620 window below its title bar";
  EXPECT_GT(shot.colours, 3u) << "the painted page shows more than a blank view";
  // Agents the machine itself runs may be on the rack: the count is not the point here.
  EXPECT_NE(smoke.output.find("Velmo: page: painted "), std::string::npos) << smoke.output;
}

// The page built into the program, on a home with one agent at work in a tmux pane: the
// page itself reports its first paint, and the snapshot shows more than an empty view.
TEST(Window, PaintsTheRackOfTheBuiltInPage) {
  if (auto why = whyNoDisplay(); !why.empty()) GTEST_SKIP() << why;
  PrivateTmux tmux;
  std::string agent = standInAgent(tmux.dir());
  ASSERT_FALSE(agent.empty());
  std::string pane = tmux.openPane({agent, "100000"});
  ASSERT_FALSE(pane.empty());
  int64_t pid = tmux.panePid(pane);
  ASSERT_GT(pid, 0);

  Smoke smoke("", [&](const std::string& home) {
    using namespace Records;
    const std::string sid = "5b1e0c7a-3d2f-4c55-9a41-2f0d6b7e8c90";
    Clock::Time at = Clock::now() - 5;
    Json call = assistant(
        Json::array({text("Running the tests."), toolUse("Bash", {{"command", "npm test"}})}), at,
        "claude-opus-4-5", 12, 150000);
    ASSERT_TRUE(Files::makeDirectories(home + "/.claude/projects/-work"));
    ASSERT_TRUE(Files::makeDirectories(home + "/.claude/sessions"));
    ASSERT_TRUE(Files::writeAtomic(
        home + "/.claude/projects/-work/" + sid + ".jsonl",
        lines({customTitle("Cart totals"), user("Run the tests", at - 30), call})));
    nlohmann::json registry = {
        {"pid", pid}, {"sessionId", sid}, {"cwd", home + "/work"}, {"status", "busy"}};
    ASSERT_TRUE(Files::writeAtomic(home + "/.claude/sessions/" + std::to_string(pid) + ".json",
                                   registry.dump()));
  });
  ASSERT_EQ(smoke.status, 0) << smoke.output;

  std::smatch painted;
  static const std::regex line(R"(Velmo: page: painted (\d+) rows)");
  ASSERT_TRUE(std::regex_search(smoke.output, painted, line)) << smoke.output;
  EXPECT_GE(std::stoi(painted[1]), 1) << "the rack holds at least the agent of this test";

  Shot shot = inspect(smoke.png);
  EXPECT_EQ(shot.width, 940);
  // Text drawn with anti-aliasing brings many shades; an empty or one-colour view has few.
  EXPECT_GT(shot.colours, 40u);
  // Kept for a person to look at, beside the page tests' pictures.
  std::error_code ec;
  std::filesystem::create_directories(VELMO_SOURCE_DIR "/tests/page/artifacts", ec);
  std::filesystem::copy_file(smoke.png, VELMO_SOURCE_DIR "/tests/page/artifacts/window-rack.png",
                             std::filesystem::copy_options::overwrite_existing, ec);
}

TEST(Window, ASecondLaunchHandsOverToTheFirst) {
  if (auto why = whyNoDisplay({"xvfb-run", "Xvfb", "dbus-run-session", "dbus-send"});
      !why.empty())
    GTEST_SKIP() << why;
  std::string home = makeTempDir("velmo-window");
  // The second starts once the first holds the application's name on the session bus (a
  // loaded machine may take far longer than a few seconds to get there).
  std::string script =
      "\"$VELMO\" & first=$!; i=0; "
      "until dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "
      "org.freedesktop.DBus.NameHasOwner string:app.velmo.Velmo 2>/dev/null | grep -q 'boolean true'; "
      "do i=$((i+1)); if [ $i -ge 600 ]; then echo first-never-held-the-name; break; fi; sleep 0.1; "
      "done; timeout 60 \"$VELMO\"; echo second=$?; "
      "kill -0 $first && echo first-alive; kill $first; wait $first";
  VelmoRun run("dbus-run-session",
               {"--", "xvfb-run", "-a", "-s", "-screen 0 1280x800x24", "sh", "-c", script},
               {{"HOME", home}, {"VELMO", VELMO_BINARY}, {"VELMO_LANG", "en"},
                {"XDG_CONFIG_HOME", ""}, {"VELMO_SMOKE_SCREENSHOT", ""}},
               true);
  std::string out = run.rest(180);
  EXPECT_NE(out.find("second=0"), std::string::npos) << out;
  EXPECT_NE(out.find("first-alive"), std::string::npos) << out;
  removeTree(home);
}
