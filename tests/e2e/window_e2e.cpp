// The window under Xvfb: GTK, the web view, the page loaded as a string, the bridge both
// ways, and a snapshot of what it painted.

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <set>

#include "page/document.h"
#include "base/text.h"
#include "e2e/velmo_run.h"
#include "support/home.h"

namespace {

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

  explicit Smoke(const std::string& pageDir) {
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
  Smoke smoke(VELMO_SOURCE_DIR "/tests/e2e/fixtures/page");
  ASSERT_EQ(smoke.status, 0) << smoke.output;
  Shot shot = inspect(smoke.png);
  EXPECT_EQ(shot.width, 940);
  EXPECT_GE(shot.height, 560) << "the web view fills the 940×620 window below its title bar";
  EXPECT_GT(shot.colours, 3u) << "the painted page shows more than a blank view";
  EXPECT_NE(smoke.output.find("Velmo: page: painted 0 rows"), std::string::npos) << smoke.output;
}

TEST(Window, PaintsTheEmbeddedPage) {
  bool paints = false;
  for (const auto& [name, text] : Page::resources()) paints |= Text::contains(text, "paint");
  if (!paints) GTEST_SKIP() << "the embedded page has no paint function yet";
  Smoke smoke("");
  ASSERT_EQ(smoke.status, 0) << smoke.output;
  EXPECT_GT(inspect(smoke.png).colours, 2u);
}

TEST(Window, ASecondLaunchHandsOverToTheFirst) {
  std::string home = makeTempDir("velmo-window");
  std::string script =
      "\"$VELMO\" & first=$!; sleep 4; timeout 20 \"$VELMO\"; echo second=$?; "
      "kill -0 $first && echo first-alive; kill $first; wait $first";
  VelmoRun run("dbus-run-session",
               {"--", "xvfb-run", "-a", "-s", "-screen 0 1280x800x24", "sh", "-c", script},
               {{"HOME", home}, {"VELMO", VELMO_BINARY}, {"VELMO_LANG", "en"},
                {"XDG_CONFIG_HOME", ""}, {"VELMO_SMOKE_SCREENSHOT", ""}},
               true);
  std::string out = run.rest(90);
  EXPECT_NE(out.find("second=0"), std::string::npos) << out;
  EXPECT_NE(out.find("first-alive"), std::string::npos) << out;
  removeTree(home);
}
