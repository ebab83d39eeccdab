// The page's "rename": the user's name is kept at once; a real rename is carried into the
// agent off the main thread, through the transcript when no terminal runs the session.

#include "app/app_test_support.h"
#include "base/files.h"
#include "support/transcripts.h"
#include "sessions/state.h"
#include "terminals/names.h"

TEST_F(AppTest, RenameKeepsTheNameAndWritesAClosedSessionsTranscript) {
  std::string path = writeTranscript(*home, "s1", Records::lines({Records::user("hi", 1.8e9)}));
  make();
  app->receive(message(R"({"act":"rename","sid":"s1","name":" Night run ","real":true})"));
  EXPECT_EQ(Names::name("s1"), "Night run");
  EXPECT_EQ(Files::read(path)->find("custom-title"), std::string::npos)
      << "the transcript was written on the main thread";
  settle();
  EXPECT_NE(Files::read(path)->find("\"agentName\":\"Night run\""), std::string::npos);

  // Without "real" only Velmo's own store changes; an empty name removes it.
  auto before = Files::read(path);
  app->receive(message(R"({"act":"rename","sid":"s1","name":"   "})"));
  settle();
  EXPECT_EQ(Names::name("s1"), "");
  EXPECT_EQ(Files::read(path), before);
}

TEST_F(AppTest, RenameOfALiveSessionWaitsForTheAgent) {
  writeTranscript(*home, "s1", "");
  terminals = {terminal("s1", "/dev/pts/4")};
  make();
  app->receive(message(R"({"act":"rename","sid":"s1","name":"Front","real":true})"));
  settle();
  EXPECT_EQ(Names::waiting(), (std::map<std::string, std::string>{{"s1", "Front"}}));
  EXPECT_EQ(Files::read(*Sessions::transcriptURL("s1")).value_or("?"), "");
}
