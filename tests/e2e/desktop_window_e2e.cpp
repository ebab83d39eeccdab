// The window on a private X display and session bus, driven from outside as a person
// would: the menu bar by keyboard, the application's keys, the two global hot keys, the
// login item, Markdown files handed to a running Velmo, and the interface language.
// Velmo writes what its window shows into a trace file on SIGUSR1 (VELMO_WINDOW_TRACE).

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "base/files.h"
#include "base/process.h"
#include "base/text.h"
#include "e2e/velmo_run.h"
#include "support/home.h"
#include "support/tmux_lab.h"
#include "support/transcripts.h"

namespace {

using Json = nlohmann::json;

std::string missingTool(std::initializer_list<const char*> tools) {
  for (const char* tool : tools) {
    gchar* path = g_find_program_in_path(tool);
    bool found = path != nullptr;
    g_free(path);
    if (!found) return std::string(tool) + " is not installed (scripts/install-deps installs it)";
  }
  return "";
}

std::string whyNot() {
  return missingTool({"Xvfb", "dbus-daemon", "xdotool", "xwininfo"});
}

/// A display and a session bus of the test's own.
struct Desk {
  VelmoRun xvfb{"Xvfb", {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"},
                {}};
  VelmoRun bus{"dbus-daemon", {"--session", "--nofork", "--print-address=1"}, {}};
  std::string display, address;

  Desk() {
    if (auto n = xvfb.line(60)) display = ":" + Text::trim(*n);
    if (auto a = bus.line(60)) address = Text::trim(*a);
  }
  bool ready() const { return display.size() > 1 && !address.empty(); }

  /// Runs a tool against the display; its output.
  std::string run(const std::vector<std::string>& argv) const {
    VelmoRun tool("/usr/bin/env", argv, {{"DISPLAY", display}});
    std::string out = tool.rest(20);
    tool.wait(5);
    return out;
  }
  void keys(const std::vector<std::string>& keys) const {
    for (const auto& k : keys) {
      run({"xdotool", "key", k});
      ::usleep(150 * 1000);
    }
  }
  /// The map state of Velmo's visible top-level window, by xwininfo.
  std::string mapState(const std::string& window) const {
    std::string info = run({"xwininfo", "-id", window});
    auto at = info.find("Map State: ");
    return at == std::string::npos ? "" : Text::trim(info.substr(at + 11, info.find('\n', at) - at - 11));
  }
};

/// One running Velmo window with its home and trace.
struct Window {
  const Desk& desk;
  std::string home;
  std::string trace = home + "/trace.jsonl";
  std::unique_ptr<VelmoRun> run;
  std::string xid;

  Window(const Desk& d, const std::string& homeDir, std::map<std::string, std::string> env = {},
         const std::string& binary = VELMO_BINARY)
      : desk(d), home(homeDir) {
    std::map<std::string, std::string> all = {{"HOME", home},
                                              {"DISPLAY", desk.display},
                                              {"DBUS_SESSION_BUS_ADDRESS", desk.address},
                                              {"VELMO_LANG", "en"},
                                              {"VELMO_WINDOW_TRACE", trace},
                                              {"XDG_CONFIG_HOME", ""},
                                              {"XDG_DATA_HOME", ""},
                                              {"CLAUDE_CONFIG_DIR", ""},
                                              {"VELMO_SMOKE_SCREENSHOT", ""}};
    for (auto& [k, v] : env) all[k] = v;
    run = std::make_unique<VelmoRun>(binary, std::vector<std::string>{}, all, true);
  }

  /// Waits for the window and puts the pointer on it (focus follows the pointer here).
  bool shown() {
    bool found = waitFor(
        [&] {
          std::string ids = desk.run({"xdotool", "search", "--onlyvisible", "--name", "^(Velmo|ולמו)$"});
          xid = Text::trim(Text::split(ids, '\n').empty() ? "" : Text::split(ids, '\n').front());
          return !xid.empty();
        },
        30);
    if (!found) return false;
    desk.run({"xdotool", "mousemove", "--window", xid, "300", "200"});
    // The page paints once it has loaded.
    return waitFor([&] { return !probe()["page"].is_null(); }, 30, 0.5);
  }

  std::vector<Json> lines() const {
    std::vector<Json> out;
    for (const auto& l : Text::split(Files::read(trace).value_or(""), '\n')) {
      Json j = Json::parse(l, nullptr, false);
      if (!j.is_discarded()) out.push_back(j);
    }
    return out;
  }

  /// What the window and its page show now.
  Json probe() {
    size_t before = lines().size();
    ::kill(run->pid(), SIGUSR1);
    Json got = nullptr;
    waitFor(
        [&] {
          auto all = lines();
          for (size_t i = before; i < all.size(); ++i)
            if (all[i].contains("probe")) got = all[i];
          return !got.is_null();
        },
        10, 0.05);
    return got.is_null() ? Json{{"probe", nullptr}, {"page", nullptr}} : got;
  }

  std::string view() { return probe()["page"].value("view", ""); }

  /// The titles selected so far, each once, in order.
  std::vector<std::string> selected() const {
    std::vector<std::string> out;
    for (const auto& l : lines())
      if (l.contains("select") &&
          std::find(out.begin(), out.end(), l["select"].get<std::string>()) == out.end())
        out.push_back(l["select"]);
    return out;
  }
  std::string lastSelected() const {
    std::string last;
    for (const auto& l : lines())
      if (l.contains("select")) last = l["select"];
    return last;
  }

  /// Opens the menu bar with F10 and walks down to each title in turn, opening submenus on
  /// the way; Return chooses the last. Each key waits for the menu to answer it: on a busy
  /// machine keys can run ahead of the selection they move.
  bool choose(const std::vector<std::string>& path) {
    size_t mark = lines().size();
    auto selections = [&] {
      auto all = lines();
      size_t n = 0;
      for (size_t i = mark; i < all.size(); ++i) n += all[i].contains("select");
      return n;
    };
    auto press = [&](const std::string& key) {
      size_t before = selections();
      desk.keys({key});
      waitFor([&] { return selections() > before; }, 10, 0.05);
    };
    auto reached = [&](const std::string& title) {
      auto all = lines();
      for (size_t i = mark; i < all.size(); ++i)
        if (all[i].value("select", "") == title) return true;
      return false;
    };
    press("F10");
    for (int i = 0; i < 8 && !reached(path[0]); ++i) press("Right");
    if (!reached(path[0])) return false;
    for (size_t level = 1; level < path.size(); ++level) {
      bool there = false;
      for (int i = 0; i < 30 && !(there = lastSelected() == path[level]); ++i) press("Down");
      if (!there) {
        desk.keys({"Escape", "Escape", "Escape"});
        return false;
      }
      if (level + 1 < path.size()) press("Right");
    }
    desk.keys({"Return"});
    return true;
  }

  /// The items of a top menu as the window shows them.
  Json menu(const std::string& title) {
    for (const auto& m : probe()["probe"].value("menus", Json::array()))
      if (m.value("title", "") == title) return m.value("items", Json::array());
    return Json::array();
  }

  Json settings() const {
    return Json::parse(Files::read(home + "/.config/velmo/settings.json").value_or("{}"), nullptr,
                       false);
  }
};

// The checked titles of a submenu of the application menu.
std::vector<std::string> checkedIn(const Json& items, const std::string& submenu) {
  std::vector<std::string> on;
  for (const auto& i : items)
    if (i.value("title", "") == submenu)
      for (const auto& s : i.value("items", Json::array()))
        if (s.value("on", false)) on.push_back(s["title"]);
  return on;
}

bool checked(const Json& items, const std::string& title) {
  for (const auto& i : items)
    if (i.value("title", "") == title) return i.value("on", false);
  return false;
}

}  // namespace

TEST(DesktopWindow, TheMenuBarIsReachedByKeyboardAndItsSettingsStoreAndShow) {
  if (auto why = whyNot(); !why.empty()) GTEST_SKIP() << why;
  Desk desk;
  ASSERT_TRUE(desk.ready());
  ScopedHome home;
  Files::makeDirectories(home.path() + "/.config/velmo");
  Files::writeAtomic(home.path() + "/.config/velmo/settings.json", R"({"relayAskPct": 77})");
  Window w(desk, home.path());
  ASSERT_TRUE(w.shown()) << w.run->rest(1);

  // Every item that can be chosen, in the order of the menus, submenus included.
  desk.keys({"F10", "Down"});
  auto walk = [&](int downs) {
    for (int i = 0; i < downs; ++i) desk.keys({"Down"});
  };
  walk(6);  // past the day's tally, which cannot be chosen
  desk.keys({"Right"});  // the hand-off threshold
  walk(5);
  desk.keys({"Left", "Down", "Down", "Right"});  // the notification delay
  walk(4);
  desk.keys({"Left"});
  walk(2);
  desk.keys({"Right"});  // Edit
  walk(5);
  desk.keys({"Right"});  // View
  walk(17);
  desk.keys({"Right"});  // document
  walk(4);
  desk.keys({"Right"});  // Window
  walk(2);
  desk.keys({"Escape", "Escape", "Escape"});
  std::vector<std::string> expected = {
      "Velmo", "About Velmo", "מעבר לעברית", "Open at Login", "Hand-off when the context fills",
      "Continue automatically when the hand-off is ready", "Close conversations idle for 24 hours",
      "Hand-off threshold", "60%", "65%", "70%", "75%", "80%", "85%", "Question notifications",
      "Notify only after waiting", "at once", "30 s", "1 min", "2 min", "5 min", "Hide Velmo",
      "Quit Velmo", "Edit", "Undo", "Redo", "Cut", "Copy", "Paste", "Select All", "View",
      "Search every conversation", "Terminal commands", "Background agents",
      "Previous match in conversation", "Capability book", "Artifacts",
      "Questions waiting for you", "Usage", "New terminal", "Wake everyone who is waiting",
      "To my last message", "Collapsed view", "Previous conversation", "Next conversation",
      "Previous active terminal", "Next active terminal", "Back to the rack", "Refresh Now",
      "document", "Open document…", "Edit document", "Save", "Always open Markdown in Velmo",
      "Close document", "Window", "Minimize", "Close", "Bring Velmo to Front"};
  EXPECT_EQ(w.selected(), expected);

  // A stored 77 is no threshold: 75 shows checked, and "at once" when no delay is stored.
  Json app = w.menu("Velmo");
  EXPECT_EQ(checkedIn(app, "Hand-off threshold"), std::vector<std::string>{"75%"});
  EXPECT_EQ(checkedIn(app, "Notify only after waiting"), std::vector<std::string>{"at once"});
  // The day's tally shows and cannot be chosen; "Hide Others" has no meaning here.
  bool tally = false;
  for (const auto& i : app)
    if (Text::startsWith(i.value("title", ""), "Reset: ")) tally = !i.value("enabled", true);
  EXPECT_TRUE(tally) << app.dump();

  ASSERT_TRUE(w.choose({"Velmo", "Hand-off threshold", "80%"}));
  ASSERT_TRUE(waitFor([&] { return w.settings().value("relayAskPct", 0) == 80; }, 30));
  EXPECT_TRUE(waitFor(
      [&] {
        return checkedIn(w.menu("Velmo"), "Hand-off threshold") == std::vector<std::string>{"80%"};
      },
      10));

  EXPECT_TRUE(checked(app, "Question notifications"));
  ASSERT_TRUE(w.choose({"Velmo", "Question notifications"}));
  ASSERT_TRUE(waitFor([&] { return w.settings().value("notifyOn", true) == false; }, 30));
  EXPECT_TRUE(waitFor([&] { return !checked(w.menu("Velmo"), "Question notifications"); }, 30));
  // The state file other programs read follows at once.
  EXPECT_TRUE(waitFor(
      [&] {
        Json state = Json::parse(
            Files::read(home.agent("velmo-state/sessions.json")).value_or("{}"), nullptr, false);
        return state.is_object() && state.contains("notifications") &&
               state["notifications"].value("on", true) == false;
      },
      10));
}

TEST(DesktopWindow, TheViewKeysOpenTheirViewsAndTheEditingKeysReachTheComposer) {
  if (auto why = whyNot(); !why.empty()) GTEST_SKIP() << why;
  Desk desk;
  ASSERT_TRUE(desk.ready());
  PrivateTmux tmux;
  std::string agent = standInAgent(tmux.dir());
  std::string pane = tmux.openPane({agent, "100000"});
  ASSERT_FALSE(pane.empty());
  int64_t pid = tmux.panePid(pane);
  ScopedHome home;
  {
    using namespace Records;
    const std::string sid = "6c2e0d7a-3d2f-4c55-9a41-2f0d6b7e8c91";
    Clock::Time at = Clock::now() - 5;
    ASSERT_TRUE(Files::makeDirectories(home.agent("projects/-work")));
    ASSERT_TRUE(Files::makeDirectories(home.agent("sessions")));
    ASSERT_TRUE(Files::writeAtomic(
        home.agent("projects/-work/" + sid + ".jsonl"),
        lines({customTitle("Cart totals"), user("Run the tests", at - 30),
               assistant(Json::array({text("Done.")}), at, "claude-opus-4-5", 12, 1000)})));
    ASSERT_TRUE(Files::writeAtomic(
        home.agent("sessions/" + std::to_string(pid) + ".json"),
        Json{{"pid", pid}, {"sessionId", sid}, {"cwd", home.path() + "/work"}, {"status", "idle"}}
            .dump()));
  }
  Window w(desk, home.path());
  ASSERT_TRUE(w.shown());

  for (auto [key, view] : std::vector<std::pair<std::string, std::string>>{
           {"ctrl+y", "works"}, {"ctrl+b", "book"}, {"ctrl+g", "crew"}, {"ctrl+i", "asks"},
           {"ctrl+j", "spend"}}) {
    desk.keys({key});
    EXPECT_TRUE(waitFor([&] { return w.view() == view; }, 30)) << key << " " << w.view();
    desk.keys({key});  // the same key closes it
    EXPECT_TRUE(waitFor([&] { return w.view() == "rack"; }, 30)) << key << " " << w.view();
  }

  // The next conversation, then the composer with a command started in it.
  desk.keys({"alt+Down"});
  ASSERT_TRUE(waitFor([&] { return w.view() == "chat"; }, 30)) << w.view();
  desk.keys({"ctrl+k"});
  ASSERT_TRUE(waitFor([&] { return w.probe()["page"].value("field", Json()) == "/"; }, 30))
      << w.probe().dump();
  // The "/" goes, and with it the command palette; then a plain text.
  desk.keys({"BackSpace"});
  desk.run({"xdotool", "type", "--delay", "30", "note two"});
  ASSERT_TRUE(waitFor([&] { return w.probe()["page"].value("field", Json()) == "note two"; }, 30))
      << w.probe().dump();
  desk.keys({"ctrl+a", "ctrl+c", "End", "ctrl+v"});
  EXPECT_TRUE(
      waitFor([&] { return w.probe()["page"].value("field", Json()) == "note twonote two"; }, 30))
      << w.probe().dump();
}

TEST(DesktopWindow, TheHotKeysHideShowAndSearchAndATakenOneIsSaidOnce) {
  if (auto why = whyNot(); !why.empty()) GTEST_SKIP() << why;
  Desk desk;
  ASSERT_TRUE(desk.ready());
  ScopedHome home;
  Window w(desk, home.path());
  ASSERT_TRUE(w.shown());

  EXPECT_EQ(desk.mapState(w.xid), "IsViewable");
  desk.keys({"ctrl+alt+p"});
  EXPECT_TRUE(waitFor([&] { return desk.mapState(w.xid) == "IsUnMapped"; }, 30));
  desk.keys({"ctrl+alt+p"});
  EXPECT_TRUE(waitFor([&] { return desk.mapState(w.xid) == "IsViewable"; }, 30));
  desk.keys({"ctrl+alt+p"});
  ASSERT_TRUE(waitFor([&] { return desk.mapState(w.xid) == "IsUnMapped"; }, 30));
  desk.keys({"ctrl+alt+f"});
  EXPECT_TRUE(waitFor([&] { return desk.mapState(w.xid) == "IsViewable"; }, 30));
  EXPECT_TRUE(waitFor(
      [&] {
        Json page = w.probe()["page"];
        return page.value("view", "") == "search" && page.value("field", Json()) == "";
      },
      10))
      << w.probe().dump();

  // A second Velmo of another user on the same display finds the keys taken.
  ScopedHome other;
  VelmoRun bus{"dbus-daemon", {"--session", "--nofork", "--print-address=1"}, {}};
  auto address = bus.line(60);
  ASSERT_TRUE(address);
  VelmoRun second(VELMO_BINARY, {},
                  {{"HOME", other.path()},
                   {"DISPLAY", desk.display},
                   {"DBUS_SESSION_BUS_ADDRESS", Text::trim(*address)},
                   {"VELMO_LANG", "en"},
                   {"XDG_CONFIG_HOME", ""},
                   {"CLAUDE_CONFIG_DIR", ""},
                   {"VELMO_SMOKE_SCREENSHOT", ""}},
                  true);
  std::string said;
  waitFor(
      [&] {
        while (auto l = second.line(0.2)) said += *l + "\n";
        return Text::contains(said, "page: painted");
      },
      30);
  second.stop();
  said += second.rest(5);
  size_t count = 0;
  for (const auto& l : Text::split(said, '\n'))
    if (Text::contains(l, "hot key")) ++count;
  EXPECT_EQ(count, 1u) << said;
}

TEST(DesktopWindow, LoginItemAndMarkdownFilesOpenInTheRunningWindow) {
  if (auto why = whyNot(); !why.empty()) GTEST_SKIP() << why;
  if (auto why = missingTool({"desktop-file-validate", "xdg-mime"}); !why.empty())
    GTEST_SKIP() << why;
  Desk desk;
  ASSERT_TRUE(desk.ready());
  ScopedHome home;
  // A program whose path needs quoting: blanks, a quote, a dollar and a percent sign.
  std::string odd = home.path() + "/my apps/it's \"velmo\" $5 100%";
  std::filesystem::create_directories(odd);
  std::string binary = odd + "/velmo";
  std::filesystem::copy_file(VELMO_BINARY, binary);
  std::filesystem::permissions(binary, std::filesystem::perms::owner_all);
  Window w(desk, home.path(), {}, binary);
  ASSERT_TRUE(w.shown());

  const std::string entry = home.path() + "/.config/autostart/velmo.desktop";
  EXPECT_FALSE(checked(w.menu("Velmo"), "Open at Login"));
  ASSERT_TRUE(w.choose({"Velmo", "Open at Login"}));
  ASSERT_TRUE(waitFor([&] { return Files::exists(entry); }, 30));
  EXPECT_TRUE(waitFor([&] { return checked(w.menu("Velmo"), "Open at Login"); }, 30));
  VelmoRun validate("desktop-file-validate", {entry}, {}, true);
  std::string complaints = validate.rest(20);
  EXPECT_EQ(validate.wait(5), 0) << complaints << Files::read(entry).value_or("");
  // The desktop's own reading of the Exec line gives back the program's path whole.
  GKeyFile* keys = g_key_file_new();
  ASSERT_TRUE(g_key_file_load_from_file(keys, entry.c_str(), G_KEY_FILE_NONE, nullptr));
  gchar* exec = g_key_file_get_string(keys, "Desktop Entry", "Exec", nullptr);
  ASSERT_NE(exec, nullptr);
  std::string unpercented = Text::replaceAll(exec, "%%", "%");
  gchar** argv = nullptr;
  ASSERT_TRUE(g_shell_parse_argv(unpercented.c_str(), nullptr, &argv, nullptr)) << exec;
  EXPECT_EQ(std::string(argv[0]), binary) << exec;
  g_strfreev(argv);
  g_free(exec);
  g_key_file_free(keys);

  ASSERT_TRUE(w.choose({"Velmo", "Open at Login"}));
  EXPECT_TRUE(waitFor([&] { return !Files::exists(entry); }, 30));
  EXPECT_TRUE(waitFor([&] { return !checked(w.menu("Velmo"), "Open at Login"); }, 30));

  // Markdown files: the claim, then a file handed to a second start.
  ASSERT_TRUE(w.choose({"document", "Always open Markdown in Velmo"}));
  std::string answer;
  EXPECT_TRUE(waitFor(
      [&] {
        VelmoRun query("xdg-mime", {"query", "default", "text/markdown"},
                       {{"HOME", home.path()}, {"XDG_CONFIG_HOME", ""}, {"XDG_DATA_HOME", ""}});
        answer = Text::trim(query.rest(10));
        return answer == "velmo.desktop";
      },
      15))
      << answer;
  std::string doc = home.path() + "/notes.md";
  Files::writeAtomic(doc, "# Notes\n\nThe plan.\n");
  VelmoRun second(binary, {doc},
                  {{"HOME", home.path()},
                   {"DISPLAY", desk.display},
                   {"DBUS_SESSION_BUS_ADDRESS", desk.address},
                   {"VELMO_LANG", "en"},
                   {"XDG_CONFIG_HOME", ""},
                   {"CLAUDE_CONFIG_DIR", ""},
                   {"VELMO_SMOKE_SCREENSHOT", ""}},
                  true);
  EXPECT_EQ(second.wait(30), 0) << second.rest(1);
  EXPECT_TRUE(waitFor([&] { return w.view() == "reader"; }, 30)) << w.view();
}

TEST(DesktopWindow, TheStoredLanguageWinsOverAnUnknownOneAndASwitchHoldsForTheNextStart) {
  if (auto why = whyNot(); !why.empty()) GTEST_SKIP() << why;
  Desk desk;
  ASSERT_TRUE(desk.ready());
  ScopedHome home;
  Files::makeDirectories(home.path() + "/.config/velmo");
  Files::writeAtomic(home.path() + "/.config/velmo/settings.json", R"({"velmo.lang": "he"})");
  {
    Window w(desk, home.path(), {{"VELMO_LANG", "fr"}});
    ASSERT_TRUE(w.shown());
    Json shown = w.probe();
    EXPECT_TRUE(shown["probe"].value("rtl", false));
    EXPECT_EQ(shown["page"].value("dir", ""), "rtl");
    EXPECT_EQ(shown["probe"]["menus"][0].value("title", ""), "ולמו");
    ASSERT_TRUE(w.choose({"ולמו", "Switch to English"}));
    ASSERT_TRUE(waitFor([&] { return w.settings().value("velmo.lang", "") == "en"; }, 30));
    // It says so in the new language, and the menu keeps its titles until the next start.
    EXPECT_TRUE(waitFor([&] { return w.probe()["probe"].value("alerts", 0) == 1; }, 30));
    EXPECT_EQ(w.probe()["probe"]["menus"][0].value("title", ""), "ולמו");
    w.run->stop();
  }
  Window again(desk, home.path(), {{"VELMO_LANG", "fr"}});
  ASSERT_TRUE(again.shown());
  Json shown = again.probe();
  EXPECT_FALSE(shown["probe"].value("rtl", true));
  EXPECT_EQ(shown["probe"]["menus"][0].value("title", ""), "Velmo");
}
