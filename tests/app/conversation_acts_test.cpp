// Page messages about conversations, documents and files: what they change, what the page
// is called with, and what lands on disk.

#include <unistd.h>

#include <filesystem>

#include "app/app_test_support.h"
#include "base/base64.h"
#include "base/files.h"
#include "base/paths.h"

namespace {

std::vector<std::string> namesIn(const std::string& folder) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

TEST_F(AppTest, OpeningASearchHitReadsFarEnoughBackBeforeThePageMayScroll) {
  chats["s"] = chat("s");
  reach = 300;
  make().pageLoaded();
  settle();
  app->receive(message(
      R"({"act":"open","sid":"s","find":{"query":"needle","ts":1700000000.5,"role":"you"}})"));
  EXPECT_EQ(app->conversation.find["ready"], false);
  settle();
  EXPECT_EQ(app->conversation.chatWant, 300);
  EXPECT_EQ(chatWant, 300) << "the painted window must hold the hit";
  auto find = page.lastPaint()["find"];
  EXPECT_EQ(find["token"], 1);
  EXPECT_EQ(find["ready"], true);
  EXPECT_EQ(find["ts"], 1700000000.5);
  EXPECT_EQ(find["role"], "you");

  // Every new find gets a new token, so the page scrolls again to the same place.
  app->receive(message(R"({"act":"open","sid":"s","find":{"query":"needle","ts":1700000000.5}})"));
  settle();
  EXPECT_EQ(page.lastPaint()["find"]["token"], 2);

  app->receive(message(R"({"act":"findClear"})"));
  app->scan();
  settle();
  EXPECT_FALSE(page.lastPaint().contains("find"));
}

TEST_F(AppTest, StepLiveSkipsIdleConversationsAndSaysWhenNoneIsLive) {
  units = {unit("a", "run"), unit("b", "quiet"), unit("c", "wait")};
  chats["a"] = chat("a");
  chats["b"] = chat("b");
  chats["c"] = chat("c");
  make().pageLoaded();
  settle();
  app->conversation.setOpenSID("b");
  app->conversation.chatWant = 800;
  app->run("stepLive", {{"by", -1}});  // the open one is idle: back goes to the last live row
  settle();
  EXPECT_EQ(app->conversation.openSID, "c");
  EXPECT_EQ(app->conversation.chatWant, 24);
  app->run("stepLive", {{"by", 1}});
  settle();
  EXPECT_EQ(app->conversation.openSID, "a");

  units = {unit("a", "quiet")};
  testing::internal::CaptureStderr();
  app->run("stepLive", {{"by", 1}});
  settle();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Velmo: No active terminal to jump to\n");
  EXPECT_EQ(app->conversation.openSID, "a");
}

TEST_F(AppTest, ADocumentOpensEditsAndSavesKeepingOneBackup) {
  std::string other = home->write("notes/b.md", "b");
  std::string path = home->write("notes/a.md", "see ~/notes/b.md\n");
  make().pageLoaded();
  settle();
  app->receive(message(R"({"act":"openDoc","path":"~/notes/a.md"})"));
  settle();
  auto doc = page.lastPaint()["doc"];
  EXPECT_EQ(page.lastPaint()["reader"], true) << "from the rack a document opens in the reader";
  EXPECT_EQ(doc["path"], path);
  EXPECT_EQ(doc["name"], "~/notes/a.md");
  EXPECT_EQ(doc["text"], "see ~/notes/b.md\n");
  EXPECT_EQ(doc["paths"], nlohmann::json::array({"~/notes/b.md"}));
  EXPECT_EQ(doc["editing"], false);
  int64_t stamp = doc["stamp"];

  app->receive(message(R"({"act":"editDoc"})"));
  EXPECT_EQ(app->document.note, "editing");
  app->receive(message(R"({"act":"saveDoc","text":"first save"})"));
  settle();
  app->receive(message(R"({"act":"saveDoc","text":"second save"})"));
  settle();
  EXPECT_EQ(Files::read(path).value_or(""), "second save");
  EXPECT_EQ(Files::read(path + ".gib").value_or(""), "first save");
  EXPECT_EQ(namesIn(home->path() + "/notes"),
            (std::vector<std::string>{"a.md", "a.md.gib", "b.md"}));
  doc = page.lastPaint()["doc"];
  EXPECT_EQ(doc["text"], "second save");
  EXPECT_EQ(doc["editing"], false);
  EXPECT_EQ(doc["warn"], false);
  EXPECT_EQ(doc["note"].get<std::string>().rfind("saved ", 0), 0u) << doc["note"];
  EXPECT_EQ(doc["paths"], nlohmann::json::array());
  EXPECT_GT(doc["stamp"].get<int64_t>(), stamp);

  // A save that fails keeps the editor open with the user's text and says why.
  app->receive(message(R"({"act":"editDoc"})"));
  stamp = app->document.stamp;
  std::filesystem::remove(path);
  app->receive(message(R"({"act":"saveDoc","text":"third"})"));
  settle();
  EXPECT_TRUE(app->document.warn);
  EXPECT_TRUE(app->document.editing);
  EXPECT_EQ(app->document.stamp, stamp);
  EXPECT_EQ(app->document.text, "second save");
  EXPECT_EQ(app->document.note, "File not found — Velmo only saves over a file that exists");
  EXPECT_FALSE(Files::exists(path));
  (void)other;

  app->receive(message(R"({"act":"closeDoc"})"));
  settle();
  EXPECT_FALSE(page.lastPaint().contains("doc"));
  EXPECT_FALSE(page.lastPaint().contains("reader"));
}

// The editor opens only over a whole, clean reading, and a save goes only over that
// reading: anything else would write a repaired or stale text over the user's file.
TEST_F(AppTest, ADocumentIsEditedOnlyOverAWholeCleanReadingThatIsStillOnDisk) {
  std::string odd = home->write("notes/odd.md", "caf\xE9 au lait\n");
  make().pageLoaded();
  settle();
  app->receive(message(R"({"act":"openDoc","path":"~/notes/odd.md"})"));
  settle();
  auto doc = page.lastPaint()["doc"];
  EXPECT_EQ(doc["editable"], false);
  EXPECT_EQ(doc["warn"], true);
  EXPECT_NE(doc["note"].get<std::string>().find("not valid UTF-8"), std::string::npos) << doc["note"];
  app->receive(message(R"({"act":"editDoc"})"));
  app->receive(message(R"({"act":"saveDoc","text":"caf\ufffd au lait\n"})"));
  settle();
  EXPECT_FALSE(app->document.editing);
  EXPECT_EQ(Files::read(odd).value_or(""), "caf\xE9 au lait\n");
  EXPECT_FALSE(Files::exists(odd + ".gib"));

  // A file the agent rewrote while the user typed is left as the agent wrote it.
  std::string plan = home->write("notes/plan.md", "# Plan\n");
  app->receive(message(R"({"act":"openDoc","path":"~/notes/plan.md"})"));
  settle();
  EXPECT_EQ(page.lastPaint()["doc"]["editable"], true);
  app->receive(message(R"({"act":"editDoc"})"));
  ASSERT_TRUE(app->document.editing);
  ASSERT_TRUE(Files::writeAtomic(plan, "# Plan\n- the agent's step\n"));
  app->receive(message(R"({"act":"saveDoc","text":"# Plan\n- mine\n"})"));
  settle();
  EXPECT_EQ(Files::read(plan).value_or(""), "# Plan\n- the agent's step\n");
  EXPECT_FALSE(Files::exists(plan + ".gib"));
  EXPECT_TRUE(app->document.editing) << "the typed text stays in the editor";
  EXPECT_TRUE(app->document.warn);
  EXPECT_NE(app->document.note.find("changed on disk"), std::string::npos) << app->document.note;

  // A file that cannot be read opens with no editor at all.
  std::string big = home->write("notes/big.md", "");
  ASSERT_EQ(::truncate(big.c_str(), 3'000'000), 0);
  app->receive(message(R"({"act":"openDoc","path":"~/notes/big.md"})"));
  settle();
  EXPECT_EQ(page.lastPaint()["doc"]["editable"], false);
  app->receive(message(R"({"act":"editDoc"})"));
  app->receive(message(R"({"act":"saveDoc","text":""})"));
  settle();
  EXPECT_FALSE(app->document.editing);
  EXPECT_EQ(app->document.note, "File too large to open here");
  EXPECT_EQ(Files::attributes(big)->size, 3'000'000);
}

TEST_F(AppTest, ADocumentOpensBesideAConversationUnlessTheReaderIsAskedFor) {
  home->write("a.md", "a");
  chats["s"] = chat("s");
  make().conversation.setOpenSID("s");
  app->receive(message(R"({"act":"openDoc","path":"~/a.md"})"));
  settle();
  EXPECT_FALSE(app->views.has(View::reader));
  EXPECT_EQ(app->document.text, "a");
  app->receive(message(R"({"act":"openDoc","path":"~/a.md","reader":true})"));
  settle();
  EXPECT_TRUE(app->views.has(View::reader));

  // A document that cannot be read opens with the reason as a warning.
  app->receive(message(R"({"act":"openDoc","path":"~/missing.md"})"));
  settle();
  EXPECT_EQ(app->document.note, "File not found");
  EXPECT_TRUE(app->document.warn);
  EXPECT_EQ(app->document.text, "");
}

TEST_F(AppTest, TheOpenDocumentIsReadAgainWhenThePageReloads) {
  home->write("a.md", "before");
  make().document.setPath(home->path() + "/a.md");
  home->write("a.md", "after");
  app->pageLoaded();
  settle();
  EXPECT_EQ(page.lastPaint()["doc"]["text"], "after");
  EXPECT_FALSE(page.lastPaint().contains("reader"));
}

TEST_F(AppTest, ADocumentInTheReaderStaysTheReaderWhenThePageLoads) {
  std::string path = home->write("notes.md", "# Notes\n");
  make().loadDoc(path, true);
  settle();
  app->pageLoaded();
  settle();
  EXPECT_EQ(page.lastPaint()["reader"], true);
  EXPECT_EQ(page.lastPaint()["doc"]["text"], "# Notes\n");
}

TEST_F(AppTest, APastedFileIsStoredAndHandedToTheComposer) {
  make().pageLoaded();
  settle();
  app->receive(message(R"({"act":"stash","data":")" + Base64::encode("pasted bytes") +
                       R"(","name":"my \"notes\".txt"})"));
  settle();
  auto calls = page.named("attached");
  ASSERT_EQ(calls.size(), 1u);
  std::string path = nlohmann::json::parse(calls[0].args.at(0));
  EXPECT_EQ(path.rfind(Paths::agent("velmo-drops") + "/", 0), 0u) << path;
  EXPECT_EQ(Files::read(path).value_or(""), "pasted bytes");

  testing::internal::CaptureStderr();
  app->receive(message(R"({"act":"stash","data":"@@ not base64 @@","name":"x"})"));
  settle();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Velmo: Saving the pasted file failed\n");
  EXPECT_EQ(page.named("attached").size(), 1u);
}

TEST_F(AppTest, AssetsArePreviewedAndSavedThroughThePage) {
  std::string path = home->write("n.txt", "old");
  make().pageLoaded();
  settle();
  app->receive(message(R"({"act":"asset","path":")" + path + R"("})"));
  settle();
  ASSERT_EQ(page.named("setAsset").size(), 1u);
  auto shown = nlohmann::json::parse(page.named("setAsset")[0].args.at(0));
  EXPECT_EQ(shown["path"], path);
  EXPECT_FALSE(shown.contains("note"));
  const std::string version = shown.value("version", "");
  // A save without the reading it edits is refused: the file might be anything by now.
  app->receive(message(R"({"act":"saveAsset","path":")" + path + R"(","text":"blind"})"));
  app->receive(message(R"({"act":"saveAsset","path":")" + path + R"(","text":"new","version":")" +
                       version + R"("})"));
  app->receive(
      message(R"({"act":"saveAsset","path":")" + home->path() + R"(/gone.txt","text":"x"})"));
  settle();
  auto calls = page.named("setAsset");
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(nlohmann::json::parse(calls[1].args.at(0))["warn"], true);
  auto saved = nlohmann::json::parse(calls[2].args.at(0));
  EXPECT_EQ(saved["note"].get<std::string>().rfind("saved ", 0), 0u);
  EXPECT_EQ(Files::read(path).value_or(""), "new");
  auto failed = nlohmann::json::parse(calls[3].args.at(0));
  EXPECT_EQ(failed["warn"], true);
  EXPECT_FALSE(Files::exists(home->path() + "/gone.txt"));
}

TEST_F(AppTest, TheCommandCatalogueIsSentAfterEveryPageLoad) {
  auto s = sources();
  s.commands = [] { return nlohmann::json::array({{{"name", "model"}}}); };
  AppDelegate::Hosts h{&page, &main, &dialogs, bg.poster(), {}};
  app = AppDelegate::make(h, s);
  app->pageLoaded();
  settle();
  app->pageLoaded();
  settle();
  auto calls = page.named("setCommands");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].args, std::vector<std::string>{R"([{"name":"model"}])"});
}
