// The page's messages against the command table: every message the page sends has an entry,
// and a message whose arguments do not fit its entry is logged once and does nothing.

#include <regex>

#include "app/app_test_support.h"
#include "base/caches.h"
#include "base/lang.h"
#include "page/document.h"

namespace {

// One value of every JSON type an argument can be sent as.
const std::vector<nlohmann::json>& samples() {
  static const std::vector<nlohmann::json> all = {
      "x", 7, 1.5, true, nlohmann::json::object(), nlohmann::json::array(), nullptr};
  return all;
}

bool fits(const nlohmann::json& v, unsigned types) {
  return ((types & Request::text) && v.is_string()) ||
         ((types & Request::integer) && v.is_number_integer()) ||
         ((types & Request::fraction) && v.is_number()) || ((types & Request::flag) && v.is_boolean()) ||
         ((types & Request::object) && v.is_object()) || ((types & Request::list) && v.is_array());
}

// A message of the act with every argument present and of a type it takes.
nlohmann::json wellFormed(const Cmd::Entry& act) {
  nlohmann::json m = {{"act", act.pageName()}};
  for (const auto& arg : act.args)
    for (const auto& v : samples())
      if (fits(v, arg.types)) {
        m[arg.key] = v;
        break;
      }
  return m;
}

size_t lines(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace

TEST(ActTable, EveryMessageThePageSendsHasAnEntry) {
  std::set<std::string> sent;
  const std::regex call(R"(send\('([A-Za-z]+)')");
  for (const auto& [name, text] : Page::resources()) {
    if (name.size() < 3 || name.substr(name.size() - 3) != ".js") continue;
    for (std::sregex_iterator it(text.begin(), text.end(), call), end; it != end; ++it)
      sent.insert((*it)[1]);
  }
  ASSERT_GT(sent.size(), 20u) << "the page's messages were not found";
  for (const auto& name : sent) EXPECT_NE(Cmd::fromPage(name), nullptr) << name;
}

TEST(ActTable, NamesAndArgumentKeysAreUnique) {
  std::set<std::string> names, pageWords, menuIds;
  for (const auto& act : Cmd::table()) {
    EXPECT_TRUE(names.insert(act.name).second) << act.name;
    if (act.roads & Cmd::page) {
      EXPECT_TRUE(pageWords.insert(act.pageName()).second) << act.name;
    }
    if (act.roads & Cmd::menu) {
      EXPECT_TRUE(menuIds.insert(act.menuId()).second) << act.name;
    }
    std::set<std::string> keys;
    for (const auto& arg : act.args) {
      EXPECT_TRUE(keys.insert(arg.key).second) << act.name << "." << arg.key;
      EXPECT_NE(arg.types, 0u) << act.name << "." << arg.key;
    }
  }
}

TEST_F(AppTest, EveryMessageWithAMissingOrMistypedArgumentIsLoggedOnceAndIgnored) {
  make().pageLoaded();
  settle();
  size_t calls = page.calls.size();
  size_t sent = 0;
  auto expectOneLine = [&](const nlohmann::json& m, const std::string& key) {
    ++sent;
    testing::internal::CaptureStderr();
    app->receive(m);
    app->receive(m);  // the same fault again says nothing more
    settle();
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(lines(log), 1u) << m.dump() << "\n" << log;
    EXPECT_NE(log.find(std::string(m["act"]) + " ignored: \"" + key + "\""), std::string::npos)
        << log;
  };
  for (const auto& act : Cmd::table()) {
    if (!(act.roads & Cmd::page)) continue;
    const nlohmann::json good = wellFormed(act);
    for (const auto& arg : act.args) {
      if (!arg.optional) {
        nlohmann::json missing = good;
        missing.erase(arg.key);
        expectOneLine(missing, arg.key);
      }
      for (const auto& v : samples()) {
        if (fits(v, arg.types)) continue;
        nlohmann::json mistyped = good;
        mistyped[arg.key] = v;
        expectOneLine(mistyped, arg.key);
      }
    }
  }
  EXPECT_GT(sent, 100u);
  // None of them reached an act.
  EXPECT_EQ(page.calls.size(), calls);
  EXPECT_TRUE(dialogs.alerts.empty());
  EXPECT_TRUE(host.calls().empty());
  EXPECT_EQ(app->conversation.openSID, "");
  EXPECT_EQ(app->views, Overlays{});
  EXPECT_FALSE(app->search.open);
  EXPECT_EQ(app->document.path, "");
}

TEST_F(AppTest, AFaultSaysWhichArgumentAndWhyInTheInterfaceLanguage) {
  make();
  testing::internal::CaptureStderr();
  app->receive(message(R"({"act":"step","by":"1"})"));
  app->receive(message(R"({"act":"quick","text":"hi"})"));
  app->receive(message(R"({"act":"answerAsk","tty":"/dev/pts/1","pick":[2]})"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Velmo: page message step ignored: \"by\" is a string, not an integer\n"
            "Velmo: page message quick ignored: \"sid\" is missing\n"
            "Velmo: page message answerAsk ignored: \"pick\" is an array, not a string or "
            "integer\n");

  ::setenv("VELMO_LANG", "he", 1);
  Caches::emptyAll();
  testing::internal::CaptureStderr();
  app->receive(message(R"({"act":"open","sid":"s","find":"needle"})"));
  app->receive(message(R"({"act":"send"})"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ולמו: הודעת הדף open לא בוצעה: \"find\" הוא string ולא object\n"
            "ולמו: הודעת הדף send לא בוצעה: חסר \"text\"\n");
  Caches::emptyAll();
}

TEST_F(AppTest, OptionalArgumentsMayBeLeftOutButNotMistyped) {
  home->write("a.md", "a");
  chats["s"] = chat("s");
  make().pageLoaded();
  settle();
  app->receive(message(R"({"act":"open","sid":"s"})"));
  EXPECT_EQ(app->conversation.openSID, "s");
  testing::internal::CaptureStderr();
  app->receive(message(R"({"act":"openDoc","path":"~/a.md","reader":"yes"})"));
  settle();
  EXPECT_NE(testing::internal::GetCapturedStderr().find("\"reader\" is a string, not a boolean"),
            std::string::npos);
  EXPECT_EQ(app->document.path, "") << "a mistyped option must not open the document anyway";
  app->receive(message(R"({"act":"openDoc","path":"~/a.md","reader":true})"));
  settle();
  EXPECT_EQ(app->document.text, "a");
  EXPECT_TRUE(app->views.has(View::reader));
}

TEST_F(AppTest, AnActSaysWhatFollowsAndTheApplicationScansOnce) {
  make().pageLoaded();
  settle();
  size_t paints = page.named("paint").size();
  // Three changes in one act ("open" closes search and the overlays too) cost one scan.
  app->search.setOpen(true);
  app->views.set(View::book, true);
  chats["s"] = chat("s");
  app->receive(message(R"({"act":"open","sid":"s"})"));
  EXPECT_EQ(bg.size(), 2u) << "one scan and one read of the opened conversation";
  settle();
  EXPECT_EQ(page.named("paint").size(), paints + 1);

  // An act with nothing to show asks for no scan at all.
  app->receive(message(R"({"act":"findClear"})"));
  EXPECT_TRUE(bg.empty());
}

// Restoring conversations has no runner yet: the panel hears so at once, in the interface
// language, rather than waiting for a list, and a run asked for anyway unlocks its button.
TEST_F(AppTest, TheRestorePanelIsToldRestoreIsNotSetUpInsteadOfWaiting) {
  make().pageLoaded();
  settle();
  app->receive(message(R"({"act":"restorable"})"));
  settle();
  auto lists = page.named("setRestorable");
  ASSERT_EQ(lists.size(), 1u);
  ASSERT_EQ(lists[0].args.size(), 2u);
  EXPECT_EQ(nlohmann::json::parse(lists[0].args[0]), nlohmann::json::array());
  EXPECT_EQ(nlohmann::json::parse(lists[0].args[1]),
            "Restoring conversations is not set up on this machine.");

  testing::internal::CaptureStderr();
  app->receive(message(R"({"act":"restoreRun","sids":["0f6c1a2b"]})"));
  settle();
  EXPECT_NE(testing::internal::GetCapturedStderr().find("not set up"), std::string::npos);
  EXPECT_EQ(page.named("restoreDone").size(), 1u);
  EXPECT_TRUE(host.calls().empty());

  ::setenv("VELMO_LANG", "he", 1);
  Caches::emptyAll();
  app->receive(message(R"({"act":"restorable"})"));
  settle();
  lists = page.named("setRestorable");
  ASSERT_EQ(lists.size(), 2u);
  EXPECT_EQ(nlohmann::json::parse(lists[1].args[1]), "שחזור שיחות אינו מוגדר במחשב הזה.");
  Caches::emptyAll();
}
