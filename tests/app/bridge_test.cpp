#include "app/app_test_support.h"
#include "base/files.h"
#include "base/paths.h"

TEST(JsString, ArrivesInThePageUnchanged) {
  for (std::string text : {std::string("plain"), std::string("say \"hi\" and 'bye'"),
                           std::string("back\\slash"), std::string("two\nlines\r\n\ttab"),
                           std::string("sep\xE2\x80\xA8"
                                       "par\xE2\x80\xA9"
                                       "end"),
                           std::string("שלום \"עולם\""), std::string(""),
                           std::string("</script><script>alert(1)</script>")}) {
    std::string literal = jsString(text);
    ASSERT_GE(literal.size(), 2u);
    EXPECT_EQ(literal.front(), '"');
    EXPECT_EQ(literal.back(), '"');
    EXPECT_EQ(nlohmann::json::parse(literal).get<std::string>(), text) << literal;
    EXPECT_EQ(literal.find('\n'), std::string::npos);
    EXPECT_EQ(literal.find("\xE2\x80\xA8"), std::string::npos) << "raw U+2028 ends a script line";
  }
  EXPECT_EQ(jsString("שלום"), "\"שלום\"");  // Hebrew stays readable, not escaped
}

TEST(JsString, InvalidUtf8IsReplacedNotFatal) {
  std::string literal = jsString("bad \xFF byte");
  EXPECT_EQ(nlohmann::json::parse(literal).get<std::string>(), "bad \xEF\xBF\xBD byte");
  EXPECT_FALSE(scriptJson({{"k", "\xC3"}}).empty());
}

TEST_F(AppTest, PaintEnvelopeOnTheRack) {
  units = {unit("a")};
  make().pageLoaded();
  settle();
  auto p = page.lastPaint();
  std::vector<std::string> keys;
  for (auto& [k, v] : p.items()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"alerts", "clock", "menu", "units", "view"}));
  EXPECT_EQ(p["view"], "rack");
  EXPECT_EQ(p["clock"].get<std::string>().size(), 5u);  // HH:mm
}

TEST_F(AppTest, PaintEnvelopeWithAConversationSearchAndDocument) {
  chats["s"] = chat("s");
  make().run("open", {{"sid", "s"}, {"find", {{"query", " needle "}, {"ts", 12.5}, {"role", "you"}}}});
  EXPECT_EQ(app->conversation.find["ready"], false);
  app->search.setOpen(true);
  app->search.setQuery("needle");
  app->document.setPath(home->path() + "/notes/a.md");
  app->receive(nlohmann::json::parse(R"({"act":"agents"})"));  // closes search again
  app->search.setOpen(true);
  app->pageLoaded();  // reads the document again, beside the conversation
  settle();
  app->views.set(View::reader, true);
  app->run("refresh");
  settle();
  auto p = page.lastPaint();
  EXPECT_EQ(p["chat"], nlohmann::json(chats["s"]));
  EXPECT_EQ(p["units"], nlohmann::json::array());
  EXPECT_EQ(p["find"]["query"], "needle");
  EXPECT_EQ(p["find"]["ts"], 12.5);
  EXPECT_EQ(p["find"]["ready"], true);  // once the conversation was read far enough
  EXPECT_EQ(p["find"]["token"], 1);
  ASSERT_EQ(p["crew"].size(), 1u);
  EXPECT_EQ(p["crew"][0]["id"], "agent");
  EXPECT_EQ(p["search"]["query"], "needle");
  for (const char* k : {"hits", "files", "titles", "busy", "building", "smartQuery", "smartBusy",
                        "smartFailed", "smart"})
    EXPECT_TRUE(p["search"].contains(k)) << k;
  EXPECT_EQ(p["reader"], true);
  EXPECT_EQ(p["doc"]["name"], "~/notes/a.md");
  EXPECT_FALSE(p.contains("spend"));
}

TEST_F(AppTest, FindIsOnlySentWithItsOwnConversation) {
  chats["s"] = chat("s");
  chats["t"] = chat("t");
  make().run("open", {{"sid", "s"}, {"find", {{"query", "ab"}}}});
  app->conversation.setOpenSID("t");
  EXPECT_TRUE(app->conversation.find.is_null());
  app->run("open", {{"sid", "s"}, {"find", {{"query", "a"}}}});  // too short to find
  EXPECT_TRUE(app->conversation.find.is_null());
}

TEST_F(AppTest, OpeningAConversationPaintsItAtOnce) {
  chats["s"] = chat("s");
  make().pageLoaded();
  settle();
  app->views.set(View::spend, true);
  app->search.setOpen(true);
  app->receive(nlohmann::json::parse(R"({"act":"open","sid":"s"})"));
  EXPECT_FALSE(app->views.has(View::spend));
  EXPECT_FALSE(app->search.open);
  settle();
  EXPECT_EQ(page.lastPaint()["chat"], nlohmann::json(chats["s"]));
}

TEST_F(AppTest, BackClosesOneThingAtATime) {
  chats["s"] = chat("s");
  make().receive(nlohmann::json::parse(R"({"act":"open","sid":"s"})"));
  app->receive(nlohmann::json::parse(R"({"act":"spend"})"));
  app->search.setOpen(true);
  app->receive(nlohmann::json::parse(R"({"act":"back"})"));
  EXPECT_FALSE(app->views.has(View::spend));
  EXPECT_TRUE(app->search.open);
  app->receive(nlohmann::json::parse(R"({"act":"back"})"));
  EXPECT_FALSE(app->search.open);
  EXPECT_EQ(app->conversation.openSID, "s");
  app->receive(nlohmann::json::parse(R"({"act":"back"})"));
  EXPECT_EQ(app->conversation.openSID, "");
}

TEST_F(AppTest, MoreStepsThroughTheWindowSizesAndTheScanReadsThem) {
  chats["s"] = chat("s");
  make().conversation.setOpenSID("s");
  app->pageLoaded();
  settle();
  std::vector<int> seen;
  for (int i = 0; i < 5; ++i) {
    app->receive(message(R"({"act":"more"})"));
    seen.push_back(app->conversation.chatWant);
  }
  EXPECT_EQ(seen, (std::vector<int>{80, 250, 800, 100000, 100000}));
  settle();
  EXPECT_EQ(chatWant, 100000);
}

TEST_F(AppTest, MalformedMessagesAreIgnored) {
  make().pageLoaded();
  settle();
  size_t calls = page.calls.size();
  for (const char* m :
       {"not json", "[1,2]", "\"open\"", "{}", R"({"act":7})", R"({"act":"noSuchThing"})",
        R"({"act":"open"})", R"({"act":"open","sid":""})", R"({"act":"open","sid":5})",
        R"({"act":"step","by":"1"})", R"({"act":"step","by":1.5})", R"({"act":"search"})",
        R"({"act":"mute","sid":7})", R"({"act":"answer","id":"x"})"}) {
    app->receiveText(m);
  }
  settle();
  EXPECT_EQ(app->conversation.openSID, "");
  EXPECT_EQ(page.calls.size(), calls);
}

TEST_F(AppTest, SearchWithOneCharacterClearsTheResults) {
  make();
  app->search.hits = {1};
  app->search.searching = true;
  app->receive(nlohmann::json::parse(R"({"act":"search","text":" x "})"));
  EXPECT_EQ(app->search.query, "x");
  EXPECT_EQ(app->search.hits, nlohmann::json::array());
  EXPECT_FALSE(app->search.searching);
}

TEST_F(AppTest, StaleSearchResultsAreDropped) {
  make();
  app->receive(nlohmann::json::parse(R"({"act":"search","text":"first"})"));
  app->receive(nlohmann::json::parse(R"({"act":"search","text":"s"})"));
  settle();
  EXPECT_FALSE(app->search.searching);
  EXPECT_EQ(app->search.query, "s");
}

TEST_F(AppTest, PageErrorsGoToTheirLogOneLineEach) {
  make().receive(
      nlohmann::json::parse(R"({"act":"pageError","text":"TypeError: x @3:4\nat paint\nat f"})"));
  auto log = Files::read(Paths::agent("velmo-page-errors.log"));
  ASSERT_TRUE(log.has_value());
  EXPECT_EQ(std::count(log->begin(), log->end(), '\n'), 1);
  EXPECT_NE(log->find(" TypeError: x @3:4 ↵ at paint ↵ at f\n"), std::string::npos) << *log;
}

TEST_F(AppTest, FindHereOpensSearchAndTellsThePage) {
  make().pageLoaded();
  settle();
  app->views.set(View::works, true);
  app->receive(nlohmann::json::parse(R"({"act":"findHere","text":"  \"quoted\" "})"));
  EXPECT_FALSE(app->views.has(View::works));
  EXPECT_TRUE(app->search.open);
  EXPECT_EQ(app->search.query, "\"quoted\"");
  auto calls = page.named("setFind");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args, std::vector<std::string>{R"("\"quoted\"")"});
}

TEST_F(AppTest, MeaningSearchShowsOnlyTheNewestQuestionsAnswer) {
  smartRows["the old question"] = nlohmann::json::array({{{"sid", "old"}}});
  smartRows["the new question"] = nlohmann::json::array({{{"sid", "new"}}});
  make();
  app->receive(nlohmann::json::parse(R"({"act":"smartSearch","text":" the old question "})"));
  EXPECT_TRUE(app->search.smartBusy);
  EXPECT_EQ(app->search.smartQuery, "the old question");
  bg.runQueued();  // the old run has its answer; it is on its way to the main thread
  app->receive(nlohmann::json::parse(R"({"act":"smartSearch","text":"the new question"})"));
  main.runQueued();  // the old answer lands under the new question
  EXPECT_TRUE(app->search.payload()["smart"].empty());
  EXPECT_TRUE(app->search.smartBusy);
  settle();
  EXPECT_EQ(app->search.payload()["smart"], smartRows["the new question"]);
  EXPECT_FALSE(app->search.smartBusy);
  EXPECT_FALSE(app->search.smartFailed);
}

TEST_F(AppTest, MeaningSearchAsksOnceUnlessItFailedAndNeverUnderThreeCharacters) {
  smartRows["cart"] = nlohmann::json::array();
  make();
  app->receive(nlohmann::json::parse(R"({"act":"smartSearch","text":"ab"})"));
  app->receive(nlohmann::json::parse(R"({"act":"smartSearch","text":"cart"})"));
  settle();
  app->receive(nlohmann::json::parse(R"({"act":"smartSearch","text":"cart"})"));
  settle();
  EXPECT_EQ(asked, std::vector<std::string>{"cart"});
  EXPECT_FALSE(app->search.smartFailed);

  app->receive(nlohmann::json::parse(R"({"act":"smartSearch","text":"lost"})"));
  settle();
  EXPECT_TRUE(app->search.smartFailed);
  EXPECT_FALSE(app->search.smartBusy);
  app->receive(nlohmann::json::parse(R"({"act":"smartSearch","text":"lost"})"));
  settle();
  EXPECT_EQ(asked, (std::vector<std::string>{"cart", "lost", "lost"}));
  auto log = Files::read(Paths::agent("velmo-smart.log")).value_or("");
  EXPECT_NE(log.find(" asked from the page: ab\n"), std::string::npos) << log;
}
