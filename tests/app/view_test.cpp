// Which view the page shows: one precedence for the paint's "view", for "back", and for
// the views that stack.

#include "app/app_test_support.h"

namespace {

Overlays of(std::initializer_list<View> views) {
  Overlays o;
  for (View v : views) o.set(v, true);
  return o;
}

}  // namespace

TEST(Views, TheHighestOpenViewShows) {
  EXPECT_EQ(Views::shown(Overlays{}), View::rack);
  EXPECT_EQ(Views::shown(of({View::chat})), View::chat);
  EXPECT_EQ(Views::shown(of({View::chat, View::search})), View::search);
  EXPECT_EQ(Views::shown(of({View::search, View::crew})), View::crew);
  EXPECT_EQ(Views::shown(of({View::crew, View::book})), View::book);
  EXPECT_EQ(Views::shown(of({View::book, View::works})), View::works);
  EXPECT_EQ(Views::shown(of({View::works, View::asks})), View::asks);
  EXPECT_EQ(Views::shown(of({View::asks, View::spend})), View::spend);
  EXPECT_EQ(Views::shown(of({View::spend, View::reader, View::chat})), View::reader);
  EXPECT_FALSE(Views::top(Overlays{}));
  EXPECT_EQ(Views::top(of({View::chat, View::crew})), View::crew);
}

TEST(Views, OpeningShutsOutWhatCannotStayBelow) {
  Overlays o = of({View::crew, View::book, View::works, View::asks, View::reader});
  EXPECT_TRUE(Views::toggle(o, View::spend));
  EXPECT_EQ(o, of({View::spend, View::reader}));
  EXPECT_TRUE(Views::toggle(o, View::crew));  // the crew replaces the board
  EXPECT_EQ(o, of({View::crew, View::reader}));
  EXPECT_TRUE(Views::toggle(o, View::book));  // the book stacks over the crew
  EXPECT_TRUE(Views::toggle(o, View::works));
  EXPECT_TRUE(Views::toggle(o, View::asks));  // asks and works share a place
  EXPECT_EQ(o, of({View::crew, View::book, View::asks, View::reader}));
  EXPECT_FALSE(Views::toggle(o, View::asks));  // a second toggle closes it
  EXPECT_EQ(o, of({View::crew, View::book, View::reader}));
  Views::closeAllButReader(o);
  EXPECT_EQ(o, of({View::reader}));
}

TEST_F(AppTest, ThePaintNamesTheViewItCarries) {
  home->write("a.md", "a");
  chats["s"] = chat("s");
  make().pageLoaded();
  settle();
  auto view = [&] {
    app->run("refresh");
    settle();
    return page.lastPaint()["view"].get<std::string>();
  };
  EXPECT_EQ(view(), "rack");
  app->conversation.setOpenSID("s");
  EXPECT_EQ(view(), "chat");
  app->search.setOpen(true);
  EXPECT_EQ(view(), "search");
  // Each further view is set open over the ones before and wins over them.
  for (auto [v, name] : {std::pair{View::crew, "crew"},
                         {View::book, "book"},
                         {View::works, "works"},
                         {View::asks, "asks"},
                         {View::spend, "spend"}}) {
    app->views.set(v, true);
    EXPECT_EQ(view(), name);
    EXPECT_TRUE(page.lastPaint().contains(name)) << name;
  }
  app->loadDoc("~/a.md", true);
  settle();
  EXPECT_EQ(page.lastPaint()["view"], "reader");

  // "back" takes them down in the same order, and the paint follows.
  std::vector<std::string> shown;
  for (int i = 0; i < 9; ++i) {
    app->receive(message(R"({"act":"back"})"));
    settle();
    shown.push_back(page.lastPaint()["view"]);
  }
  EXPECT_EQ(shown, (std::vector<std::string>{"spend", "asks", "works", "book", "crew", "search",
                                             "chat", "rack", "rack"}));
}

TEST_F(AppTest, AViewWithoutItsPayloadIsNotNamed) {
  chats["s"] = chat("s");
  make().conversation.setOpenSID("s");
  app->views.set(View::spend, true);
  app->views.set(View::reader, true);  // a reader with no document shows nothing
  ScanResult now;
  now.chat = chats["s"];
  now.spend = nullptr;  // not built by this paint
  auto p = app->payload(now);
  EXPECT_FALSE(p.contains("spend"));
  EXPECT_FALSE(p.contains("reader"));
  EXPECT_EQ(p["view"], "chat");

  ScanResult lost;  // the conversation could not be read: the rack shows
  lost.spend = nullptr;
  EXPECT_EQ(app->payload(lost)["view"], "rack");
}

TEST_F(AppTest, AViewOpenedOverAnotherKeepsItForBack) {
  make().pageLoaded();
  settle();
  app->receive(message(R"({"act":"agents"})"));
  app->receive(message(R"({"act":"book"})"));
  settle();
  EXPECT_EQ(page.lastPaint()["view"], "book");
  app->receive(message(R"({"act":"back"})"));
  settle();
  EXPECT_EQ(page.lastPaint()["view"], "crew");
  app->receive(message(R"({"act":"spend"})"));  // the board stands alone
  app->receive(message(R"({"act":"back"})"));
  settle();
  EXPECT_EQ(page.lastPaint()["view"], "rack");
}

// Closing search, or opening a conversation from it, forgets the word and everything it
// found: search opened again shows no files or titles of a word no longer in the box.
TEST_F(AppTest, SearchOpenedAgainShowsNothingOfTheOldWord) {
  found = [](const std::string& q) {
    return std::vector<nlohmann::json>{nlohmann::json::array({{{"sid", "s1"}, {"title", q}}}),
                                       nlohmann::json::array({{{"path", "/w/" + q + ".md"}}}),
                                       nlohmann::json::array({{{"sid", "t1"}, {"title", q}}})};
  };
  make().pageLoaded();
  settle();
  for (const char* leave : {R"({"act":"back"})", R"({"act":"open","sid":"s1"})"}) {
    app->receive(message(R"({"act":"searchOpen"})"));
    app->receive(message(R"({"act":"search","text":"cart"})"));
    settle();
    auto shown = page.lastPaint()["search"];
    ASSERT_EQ(shown["files"].size(), 1u);
    ASSERT_EQ(shown["titles"].size(), 1u);
    app->receive(message(leave));
    app->receive(message(R"({"act":"back"})"));
    app->receive(message(R"({"act":"searchOpen"})"));
    settle();
    shown = page.lastPaint()["search"];
    EXPECT_EQ(shown["query"], "") << leave;
    EXPECT_EQ(shown["hits"], nlohmann::json::array()) << leave;
    EXPECT_EQ(shown["files"], nlohmann::json::array()) << leave;
    EXPECT_EQ(shown["titles"], nlohmann::json::array()) << leave;
    app->receive(message(R"({"act":"back"})"));
    settle();
  }
}

// Each keystroke starts a search: the one it overtakes is stopped (so its grep is killed)
// whether it waits for a thread or already runs, and only the newest shows.
TEST_F(AppTest, ASearchOvertakenByTheNextKeystrokeIsStopped) {
  found = [](const std::string& q) {
    return std::vector<nlohmann::json>{nlohmann::json::array({{{"sid", "s1"}, {"title", q}}}),
                                       nlohmann::json::array(), nlohmann::json::array()};
  };
  make().pageLoaded();
  settle();
  app->receive(message(R"({"act":"searchOpen"})"));
  app->receive(message(R"({"act":"search","text":"ca"})"));
  app->receive(message(R"({"act":"search","text":"car"})"));
  std::vector<bool> stoppedByTheNextKey;
  duringSearch = [&](const Terminals::Stop& stop) {
    if (!stoppedByTheNextKey.empty()) return;
    app->receive(message(R"({"act":"search","text":"cart"})"));
    stoppedByTheNextKey.push_back(stop.stopped());
  };
  settle();
  // "ca" was overtaken before it ran and never searched; "car" was stopped while it ran.
  EXPECT_EQ(searched, (std::vector<std::pair<std::string, bool>>{{"car", false}, {"cart", false}}));
  EXPECT_EQ(stoppedByTheNextKey, std::vector<bool>{true});
  auto shown = page.lastPaint()["search"];
  EXPECT_EQ(shown["query"], "cart");
  ASSERT_EQ(shown["hits"].size(), 1u);
  EXPECT_EQ(shown["hits"][0]["title"], "cart");
  EXPECT_EQ(shown["busy"], false);

  // Emptying the box, or closing search, stops the search in flight too.
  searched.clear();
  duringSearch = nullptr;
  app->receive(message(R"({"act":"search","text":"tot"})"));
  app->receive(message(R"({"act":"search","text":"t"})"));
  app->receive(message(R"({"act":"search","text":"total"})"));
  app->receive(message(R"({"act":"back"})"));
  settle();
  EXPECT_TRUE(searched.empty());
  EXPECT_FALSE(app->search.searching);
}
