// The menu model and what its items do: check marks from the settings, the page's copy of
// the bar, and the items' acts through the centre.

#include "app/app_test_support.h"
#include "app/desktop_entries.h"
#include "app/menu.h"
#include "base/files.h"
#include "base/paths.h"
#include "base/settings.h"

namespace {

using Json = nlohmann::json;

std::vector<std::string> checkedIn(const std::vector<Menu::Item>& bar, const std::string& submenu) {
  std::vector<std::string> on;
  for (const auto& menu : bar)
    for (const auto& i : menu.items)
      if (i.title == submenu)
        for (const auto& s : i.items)
          if (s.on) on.push_back(s.title);
  return on;
}

const Json* pageItem(const Json& menus, const std::string& title) {
  for (const auto& m : menus)
    for (const auto& i : m["items"])
      if (i.value("title", "") == title) return &i;
  return nullptr;
}

void writeSettings(const Json& settings) {
  Files::makeDirectories(Paths::configDir());
  Files::writeAtomic(Paths::configDir() + "/settings.json", settings.dump());
  Settings::reload();
}

// Holds the interface language to the stored setting for one test.
struct NoLanguageOverride {
  std::string old;
  bool had = false;
  NoLanguageOverride() {
    if (const char* v = std::getenv("VELMO_LANG")) {
      had = true;
      old = v;
    }
    ::unsetenv("VELMO_LANG");
    Caches::emptyAll();
  }
  ~NoLanguageOverride() {
    if (had) ::setenv("VELMO_LANG", old.c_str(), 1);
    Caches::emptyAll();
  }
};

}  // namespace

TEST_F(AppTest, MenuChecksFollowTheStoredSettings) {
  writeSettings({{"relayAskPct", 77}, {"relayOn", "no"}, {"hygieneIdleClose", false}});
  auto bar = Menu::bar(Menu::State{}, false);
  // 77 is no threshold: 75 stands in. No delay stored is "at once".
  EXPECT_EQ(checkedIn(bar, "Hand-off threshold"), std::vector<std::string>{"75%"});
  EXPECT_EQ(checkedIn(bar, "Notify only after waiting"), std::vector<std::string>{"at once"});
  // Only a stored false turns a switch off; a text is not false.
  EXPECT_TRUE(Menu::find(bar, "toggleRelay")->on);
  EXPECT_FALSE(Menu::find(bar, "toggleIdleClose")->on);
  EXPECT_TRUE(Menu::find(bar, "toggleNotify")->on);

  writeSettings({{"notifyMinWait", 45}});
  EXPECT_TRUE(checkedIn(Menu::bar(Menu::State{}, false), "Notify only after waiting").empty())
      << "a delay the menu does not offer checks none";

  std::vector<std::string> waits;
  for (int s : {0, 30, 60, 120, 300}) waits.push_back(Menu::waitTitle(s, false));
  EXPECT_EQ(waits, (std::vector<std::string>{"at once", "30 s", "1 min", "2 min", "5 min"}));
  EXPECT_EQ(Menu::waitTitle(120, true), "2 דק׳");
  EXPECT_EQ(Menu::waitTitle(30, true), "30 שניות");

  auto hebrew = Menu::bar(Menu::State{true, "Reset: 0 · Closed: 0"}, true);
  EXPECT_EQ(hebrew[0].title, "ולמו");
  EXPECT_EQ(Menu::find(hebrew, "flipLanguage")->title, "Switch to English");
  EXPECT_TRUE(Menu::find(hebrew, "toggleLoginItem")->on);
  EXPECT_EQ(Menu::find(Menu::bar({}, false), "flipLanguage")->title, "מעבר לעברית");
}

TEST_F(AppTest, ThePagesMenuLeavesOutTheWindowsOwnItems) {
  Json menus = Menu::forPage(Menu::bar(Menu::State{false, "Reset: 1 (a) · Closed: 0"}, false));
  std::vector<std::string> titles;
  for (const auto& m : menus) titles.push_back(m["title"]);
  // Editing is the browser's, and a browser has no window menu.
  EXPECT_EQ(titles, (std::vector<std::string>{"Velmo", "View", "document"}));
  for (const char* gone : {"Hide Velmo", "Hide Others", "Quit Velmo", "Open document…"})
    EXPECT_EQ(pageItem(menus, gone), nullptr) << gone;
  for (const auto& m : menus) {
    const Json& items = m["items"];
    ASSERT_FALSE(items.empty());
    EXPECT_FALSE(items.front().contains("sep")) << m["title"];
    EXPECT_FALSE(items.back().contains("sep")) << m["title"];
    for (size_t i = 1; i < items.size(); ++i)
      EXPECT_FALSE(items[i].contains("sep") && items[i - 1].contains("sep")) << m["title"];
  }
  const Json* tally = pageItem(menus, "Reset: 1 (a) · Closed: 0");
  ASSERT_NE(tally, nullptr);
  EXPECT_EQ((*tally)["off"], true);
  EXPECT_FALSE(tally->contains("id"));
  const Json* book = pageItem(menus, "Capability book");
  ASSERT_NE(book, nullptr);
  EXPECT_EQ((*book)["id"], "toggleBook");
  EXPECT_EQ((*book)["keys"], "Ctrl+B");
  const Json* threshold = pageItem(menus, "Hand-off threshold");
  ASSERT_NE(threshold, nullptr);
  EXPECT_EQ((*threshold)["items"][4], (Json{{"title", "80%"},
                                            {"id", "setRelayLine"},
                                            {"value", 80},
                                            {"check", true},
                                            {"on", false}}));

  EXPECT_EQ(Menu::accelerator("Ctrl+Shift+G"), "<Control><Shift>g");
  EXPECT_EQ(Menu::accelerator("Shift+Alt+Up"), "<Shift><Alt>Up");
  EXPECT_EQ(Menu::accelerator(""), "");
}

TEST_F(AppTest, MenuSettingsAreStoredAndTheNextPaintShowsThem) {
  make().pageLoaded();
  settle();
  app->receive(message(R"({"act":"menu","id":"setRelayLine","value":80})"));
  settle();
  EXPECT_EQ(Settings::number("relayAskPct", 0), 80);
  Json menus = page.lastPaint()["menu"];
  std::vector<std::string> on;
  for (const auto& i : (*pageItem(menus, "Hand-off threshold"))["items"])
    if (i["on"] == true) on.push_back(i["title"]);
  EXPECT_EQ(on, std::vector<std::string>{"80%"});

  app->choose("toggleNotify");
  app->choose("toggleAutoContinue");
  app->choose("setNotifyWait", 120);
  settle();
  EXPECT_FALSE(Settings::flag("notifyOn"));
  EXPECT_FALSE(Settings::flag("relayAutoContinue"));
  EXPECT_EQ(Settings::number("notifyMinWait", 0), 120);
  EXPECT_EQ((*pageItem(page.lastPaint()["menu"], "Question notifications"))["on"], false);
  std::string log = Files::read(home->agent("velmo-hygiene.log")).value_or("");
  EXPECT_NE(log.find("menu: auto-continue off"), std::string::npos) << log;
  EXPECT_EQ(log.find("menu: notifications"), std::string::npos) << "only the relay switches log";

  // A message that does not fit the act is not a choice.
  app->receive(message(R"({"act":"menu","id":"setRelayLine","value":"85"})"));
  settle();
  EXPECT_EQ(Settings::number("relayAskPct", 0), 80);
}

TEST_F(AppTest, MenuViewsAndBackToTheRack) {
  chats["s"] = chat("s");
  make().pageLoaded();
  app->choose("toggleBook");
  settle();
  EXPECT_EQ(page.lastPaint()["view"], "book");
  app->choose("toggleBook");
  app->choose("agentsOrNext");
  settle();
  EXPECT_EQ(page.lastPaint()["view"], "crew") << "without a find, the agents view";
  app->choose("agentsOrNext");

  // With a find in the conversation the same key steps through its matches.
  app->run("open", {{"sid", "s"}, {"find", {{"query", "needle"}, {"ts", 1.0}}}});
  settle();
  page.calls.clear();
  app->choose("agentsOrNext");
  app->choose("findPrev");
  auto steps = page.named("findStep");
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0].args, std::vector<std::string>{"1"});
  EXPECT_EQ(steps[1].args, std::vector<std::string>{"-1"});
  EXPECT_FALSE(app->views.has(View::crew));

  // Back to the rack closes the conversation under the usage view and leaves the view.
  app->choose("toggleSpend");
  app->choose("goBack");
  settle();
  EXPECT_TRUE(app->conversation.openSID.empty());
  EXPECT_TRUE(app->views.has(View::spend));
  EXPECT_EQ(page.lastPaint()["view"], "spend");
}

TEST_F(AppTest, EditDocumentAsksThePageFirst) {
  make().pageLoaded();
  std::string doc = home->path() + "/notes.md";
  Files::writeAtomic(doc, "# Notes\n");
  app->loadDoc(doc, true);
  settle();
  page.hold = true;
  app->choose("editDocument");
  ASSERT_EQ(page.named("editTopCard").size(), 1u);
  page.named("editTopCard")[0].done(PageHost::Reply{"", true});
  EXPECT_FALSE(app->document.editing) << "the page's card took the edit";
  app->choose("editDocument");
  page.named("editTopCard")[1].done(PageHost::Reply{"", false});
  EXPECT_TRUE(app->document.editing);
  page.hold = false;

  app->choose("closeDocument");
  settle();
  EXPECT_TRUE(app->document.path.empty());
  size_t paints = page.named("paint").size();
  app->choose("closeDocument");  // nothing loaded: nothing to do
  settle();
  EXPECT_EQ(page.named("paint").size(), paints);
}

TEST_F(AppTest, TheLanguageSwitchHoldsTheNewLanguageAndKeepsTheMenusTitles) {
  NoLanguageOverride override;
  writeSettings({{"velmo.lang", "he"}});
  make();
  EXPECT_EQ(app->menuBar()[0].title, "ולמו");
  app->choose("flipLanguage");
  EXPECT_EQ(Settings::text("velmo.lang"), "en");
  ASSERT_EQ(dialogs.alerts.size(), 1u);
  EXPECT_EQ(dialogs.alerts[0].title, "Language changed");
  EXPECT_EQ(dialogs.alerts[0].buttons, std::vector<std::string>{"Close"});
  EXPECT_EQ(app->menuBar()[0].title, "ולמו") << "the menu keeps its titles until the next start";

  app->choose("about");
  ASSERT_EQ(dialogs.alerts.size(), 2u);
  EXPECT_EQ(dialogs.alerts[1].title, "Velmo");
  EXPECT_TRUE(dialogs.alerts[1].buttons.empty()) << "the standard button";
}

TEST_F(AppTest, TheLoginItemIsOnExactlyWhenItsFileIsThere) {
  make().pageLoaded();
  settle();
  EXPECT_FALSE(DesktopEntries::loginItemInstalled());
  app->choose("toggleLoginItem");
  settle();
  ASSERT_TRUE(DesktopEntries::loginItemInstalled());
  std::string text = Files::read(DesktopEntries::loginItem()).value_or("");
  EXPECT_NE(text.find("Exec=\"" + DesktopEntries::runningProgram() + "\"\n"), std::string::npos)
      << text;
  EXPECT_EQ((*pageItem(page.lastPaint()["menu"], "Open at Login"))["on"], true);
  app->choose("toggleLoginItem");
  settle();
  EXPECT_FALSE(Files::exists(DesktopEntries::loginItem()));
  EXPECT_EQ((*pageItem(page.lastPaint()["menu"], "Open at Login"))["on"], false);
}

TEST(DesktopEntries, ExecQuotesWhatTheDesktopWouldSplitOrExpand) {
  EXPECT_EQ(DesktopEntries::execLine("/usr/bin/velmo"), "\"/usr/bin/velmo\"");
  EXPECT_EQ(DesktopEntries::execLine("/opt/my apps/velmo", "%f"), "\"/opt/my apps/velmo\" %f");
  // Inside quotes a quote, a dollar and a backquote take a backslash, which the string
  // level doubles; a percent sign is doubled for the field codes.
  EXPECT_EQ(DesktopEntries::execLine("/opt/it's \"v\" $5 `x` 100%/velmo"),
            R"("/opt/it's \\"v\\" \\$5 \\`x\\` 100%%/velmo")");
  // A backslash in the path becomes four.
  EXPECT_EQ(DesktopEntries::execLine("/opt/a\\b/velmo"), R"("/opt/a\\\\b/velmo")");
  EXPECT_EQ(DesktopEntries::execLine("/opt/two\nlines/velmo"), "");
  EXPECT_EQ(DesktopEntries::execLine(""), "");
  std::string entry = DesktopEntries::entry("/usr/bin/velmo", DesktopEntries::markdownTypes());
  EXPECT_NE(entry.find("Exec=\"/usr/bin/velmo\" %f\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("MimeType=text/markdown;text/x-markdown;\n"), std::string::npos) << entry;
  // The icon the install puts in the theme, by name.
  EXPECT_NE(entry.find("\nIcon=velmo\n"), std::string::npos) << entry;
  EXPECT_EQ(DesktopEntries::entry("/opt/two\nlines/velmo", {}), "");
}
