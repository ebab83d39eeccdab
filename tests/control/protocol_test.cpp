// The control protocol end to end below the socket: its commands, the console's
// permission policy, the approval sheet's round trip, and one exchange on a real
// socket pair.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "base/caches.h"
#include "base/files.h"
#include "base/text.h"
#include "control/client.h"
#include "control/control.h"
#include "feed/state_feed.h"
#include "support/terminal_rig.h"
#include "support/transcripts.h"

namespace {

const std::string kTty = "/dev/pts/3";

class Protocol : public ::testing::Test {
 protected:
  Protocol() {
    Caches::emptyAll();
    rig.agent(300, 3, "s1");
  }
  ~Protocol() override {
    Caches::emptyAll();
    Control::setAskOrlen(nullptr);
    Control::setCancelAsk(nullptr);
  }

  nlohmann::json call(nlohmann::json request) { return Control::handle(request); }

  void promptGoesWhenTyped() {
    rig.host.onType(
        [](ScriptedHost& h, const ScriptedHost::Call&) { h.show(kTty, Screens::idle()); });
  }

  /// The approval sheet answers `approve` (or never, with no value) and counts itself.
  void sheet(std::optional<bool> approve) {
    Control::setAskOrlen([this, approve](const std::string& title, const std::string& detail,
                                         std::function<void(bool)> reply) {
      sheets.push_back(title + "\n" + detail);
      if (approve) reply(*approve);
    });
    Control::setCancelAsk([this] { ++cancels; });
  }

  TerminalRig rig;
  std::vector<std::string> sheets;
  int cancels = 0;
};

// One request written to a socket pair and served; the reply text.
std::string exchangeOnPair(const std::string& request) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return "";
  std::thread server([fd = fds[1]] { Control::serve(fd); });
  size_t done = 0;
  while (done < request.size()) {
    ssize_t n = ::send(fds[0], request.data() + done, request.size() - done, MSG_NOSIGNAL);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  std::string reply;
  char buf[4096];
  ssize_t n;
  while ((n = ::recv(fds[0], buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  server.join();
  return reply;
}

}  // namespace

TEST_F(Protocol, PingAndUnknownCommands) {
  auto r = call({{"cmd", "ping"}});
  EXPECT_EQ(r["ok"], true);
  EXPECT_EQ(r["pid"], ::getpid());
  EXPECT_EQ(call({{"cmd", "reboot"}}),
            (nlohmann::json{{"ok", false}, {"error", "unknown command"}}));
  EXPECT_EQ(call(nlohmann::json::object())["error"], "unknown command");
  EXPECT_EQ(call(nlohmann::json::array({1}))["error"], "unknown command");
  EXPECT_EQ(call({{"cmd", 7}})["error"], "unknown command");
}

TEST_F(Protocol, OneExchangeOnASocketAndTheCapOnRequests) {
  std::string reply = exchangeOnPair("{\"cmd\":\"ping\"}\n");
  auto json = nlohmann::json::parse(reply, nullptr, false);
  EXPECT_EQ(json["ok"], true) << reply;
  EXPECT_EQ(reply.back(), '\n');

  // A valid request longer than 64 KiB is cut, so it fails to parse.
  std::string big = "{\"cmd\":\"ping\",\"pad\":\"" + std::string(70000, 'x') + "\"}";
  json = nlohmann::json::parse(exchangeOnPair(big), nullptr, false);
  EXPECT_EQ(json["error"], "unknown command");
  EXPECT_EQ(nlohmann::json::parse(exchangeOnPair("not json\n"), nullptr, false)["error"],
            "unknown command");
}

TEST_F(Protocol, ListGivesEveryOpenQuestionWithItsSession) {
  rig.agent(400, 4, "s2", "busy");
  rig.host.show(kTty, Screens::permission());
  rig.host.show("/dev/pts/4", Screens::idle());
  auto r = call({{"cmd", "list"}});
  ASSERT_EQ(r["questions"].size(), 1u) << r.dump();
  auto q = r["questions"][0];
  EXPECT_EQ(q["sessionId"], "s1");
  EXPECT_EQ(q["slot"], "003");
  EXPECT_EQ(q["status"], "waiting-on-permission");
  EXPECT_EQ(q["kind"], "permission");
  EXPECT_EQ(q["gate"], "orlen-click");
  EXPECT_EQ(q["body"], "Bash command\nls -la /tmp\nList files") << q.dump();

  auto state = call({{"cmd", "state"}});
  EXPECT_EQ(state["sessions"].size(), 2u);
  EXPECT_EQ(state["sessions"][1]["status"], "busy");
}

// `velmo-q list` and the approval sheet carry what the terminal shows above the options,
// every line of it: the agent's folded command, an edit's changed lines, a fetch's address.
TEST_F(Protocol, ListAndTheSheetCarryTheWholeBodyOfWhatIsApproved) {
  auto screen = [](const char* name) {
    return Files::read(std::string(VELMO_FIXTURES_DIR) + "/screens/" + name).value_or("");
  };
  rig.agent(400, 4, "s2");
  rig.agent(500, 5, "s3");
  rig.host.show(kTty, screen("perm-bash-long.txt"));
  rig.host.show("/dev/pts/4", screen("perm-edit.txt"));
  rig.host.show("/dev/pts/5", screen("perm-fetch.txt"));
  auto r = call({{"cmd", "list"}});
  ASSERT_EQ(r["questions"].size(), 3u) << r.dump();
  std::map<std::string, std::string> bodies;
  for (const auto& q : r["questions"]) bodies[q["sessionId"]] = q["body"];
  const std::string& command = bodies["s1"];
  EXPECT_TRUE(Text::startsWith(command, "Bash command\nWrite forty words into a file\n│ printf"))
      << command;
  for (const char* word : {"velmo-word-001", "velmo-word-020", "velmo-word-040 > velmo-long.txt"})
    EXPECT_NE(command.find(word), std::string::npos) << word;
  EXPECT_EQ(Text::split(command, '\n', false).size(), 8u);
  EXPECT_EQ(bodies["s2"],
            "Edit file\nvelmo-edit.txt\n1 -colour = blue\n1 +colour = green\n2 +border = thin\n3  "
            "size = large");
  EXPECT_EQ(bodies["s3"],
            "Fetch\nClaude wants to fetch content from 127.0.0.1\nurl: http://127.0.0.1:9/velmo-probe\n"
            "prompt: Say what the page holds.");

  // The sheet the owner approves a console's answer on shows all of it too.
  sheet(false);
  call({{"cmd", "request-click"}, {"session", "3"}, {"option", "Yes"}});
  ASSERT_EQ(sheets.size(), 1u);
  EXPECT_NE(sheets[0].find(command), std::string::npos) << sheets[0];
}

TEST_F(Protocol, ConsoleAnswersRoutineQuestionsButNotTheOwners) {
  rig.host.show(kTty, Screens::ask("Which colour?", {"Blue", "Green"}));
  promptGoesWhenTyped();
  auto r = call({{"cmd", "answer"}, {"session", "s1"}, {"option", "Green"}});
  EXPECT_EQ(r["result"], "answered") << r.dump();
  EXPECT_EQ(r["who"], "console");

  rig.host.show(kTty, Screens::ask("Should I deploy?", {"Yes", "No"}));
  r = call({{"cmd", "answer"}, {"session", "s1"}, {"option", "Yes"}});
  EXPECT_EQ(r["result"], "refused");
  EXPECT_EQ(r["gate"], "orlen");
  EXPECT_EQ(r["error"],
            "REFUSED: this question is Orlen's decision (product/money/outward/deploy) — ask him, "
            "then --orlen-relayed, or use request-click");

  r = call({{"cmd", "answer"}, {"session", "nobody"}, {"option", "Yes"}});
  EXPECT_EQ(r["error"], "no such session");
  r = call({{"cmd", "answer"}, {"session", "s1"}, {"index", 1}, {"option", "Yes"}});
  EXPECT_EQ(r["error"], "only question 0 (the one on screen) can be answered");
}

TEST_F(Protocol, APermissionPromptNeedsATokenEvenWhenRelayed) {
  rig.host.show(kTty, Screens::permission());
  auto r = call({{"cmd", "answer"},
                 {"session", "s1"},
                 {"option", "Yes"},
                 {"relayed", true},
                 {"relayFrom", "console"}});
  EXPECT_EQ(r["result"], "refused");
  EXPECT_EQ(r["error"],
            "REFUSED: tool-permission prompt — needs --orlen-click <token> from Orlen's click in "
            "Velmo (velmo-q request-click)");
  EXPECT_TRUE(rig.host.typed().empty());
}

TEST_F(Protocol, ARelayedAnswerNeedsTheOwnersWordsInTheConsole) {
  rig.host.show(kTty, Screens::ask("Should I deploy?", {"Yes", "No"}));
  promptGoesWhenTyped();
  nlohmann::json request = {{"cmd", "answer"},
                            {"session", "s1"},
                            {"option", "Yes"},
                            {"relayed", true},
                            {"relayFrom", "console"}};
  auto r = call(request);
  EXPECT_EQ(r["error"],
            "no answer from Orlen naming “Yes” in the console's transcript in the last 30 min");
  writeTranscript(rig.home, "console",
                  Records::lines({Records::userBlocks(
                      nlohmann::json::array({{{"type", "tool_result"},
                                              {"tool_use_id", "toolu_c"},
                                              {"content",
                                               "Your questions have been answered: "
                                               "\"Deploy?\"=\"Yes\"."}}}),
                      rig.clock.now() - 5)}));
  r = call(request);
  EXPECT_EQ(r["result"], "answered") << r.dump();
  EXPECT_EQ(r["who"], "orlen-relayed");
  auto log = Files::read(Control::logFile()).value_or("");
  EXPECT_NE(log.find("console transcript answer toolu_c"), std::string::npos) << log;
}

TEST_F(Protocol, AClickedApprovalGivesATokenThatAnswersOnce) {
  rig.host.show(kTty, Screens::permission());
  sheet(true);
  auto click = call({{"cmd", "request-click"}, {"session", "3"}, {"option", "Yes"}});
  ASSERT_EQ(click["ok"], true) << click.dump();
  EXPECT_EQ(click["option"], "Yes");
  EXPECT_EQ(click["expiresIn"], 600);
  ASSERT_EQ(sheets.size(), 1u);
  EXPECT_NE(sheets[0].find("The central console asks for your approval"), std::string::npos);
  EXPECT_NE(sheets[0].find("Answer to send: “Yes”"), std::string::npos);
  EXPECT_NE(sheets[0].find("This is a tool-permission prompt."), std::string::npos);
  EXPECT_NE(sheets[0].find("ls -la /tmp"), std::string::npos);

  promptGoesWhenTyped();
  nlohmann::json answer = {{"cmd", "answer"},
                           {"session", "s1"},
                           {"option", "Yes"},
                           {"expect", click["id"]},
                           {"token", click["token"]}};
  // A token for "Yes" does not answer "No".
  auto wrong = answer;
  wrong["option"] = "No";
  EXPECT_EQ(call(wrong)["error"], "token invalid, expired, used, or for another question/option");
  auto r = call(answer);
  EXPECT_EQ(r["result"], "answered") << r.dump();
  EXPECT_EQ(r["who"], "orlen-relayed");

  rig.host.show(kTty, Screens::permission());
  r = call(answer);
  EXPECT_EQ(r["result"], "refused");
  EXPECT_EQ(r["error"], "token invalid, expired, used, or for another question/option");
}

TEST_F(Protocol, RequestClickChecksBeforeAsking) {
  sheet(true);
  rig.host.show(kTty, Screens::idle());
  EXPECT_EQ(call({{"cmd", "request-click"}, {"session", "s1"}, {"option", "Yes"}})["error"],
            "no open question on that console's screen");
  rig.host.show(kTty, Screens::permission());
  EXPECT_EQ(call({{"cmd", "request-click"},
                  {"session", "s1"},
                  {"option", "Yes"},
                  {"expect", "ffffffffffffffff"}})["error"],
            "question changed");
  EXPECT_EQ(call({{"cmd", "request-click"}, {"session", "s1"}, {"option", "Maybe"}})["error"],
            "no such option");
  EXPECT_TRUE(sheets.empty());
  Control::setAskOrlen(nullptr);
  EXPECT_EQ(call({{"cmd", "request-click"}, {"session", "s1"}, {"option", "Yes"}})["error"],
            "Velmo UI not ready");
}

TEST_F(Protocol, AnUnansweredSheetIsTakenDownAfterItsTimeout) {
  rig.host.show(kTty, Screens::permission());
  sheet(std::nullopt);
  auto waited = [&](nlohmann::json timeout) {
    nlohmann::json request = {{"cmd", "request-click"}, {"session", "s1"}, {"option", "No"}};
    if (!timeout.is_null()) request["timeout"] = timeout;
    Clock::Time start = rig.clock.now();
    auto r = call(request);
    EXPECT_EQ(r["result"], "not sent");
    return std::make_pair(static_cast<int>(rig.clock.now() - start + 0.5),
                          r["error"].get<std::string>());
  };
  auto [seconds, error] = waited(1);
  EXPECT_EQ(seconds, 5);
  EXPECT_EQ(error, "Orlen did not answer within 5 s — the request was taken down");
  EXPECT_EQ(waited(5000).first, 600);
  EXPECT_EQ(waited("30").first, 600);
  EXPECT_EQ(waited(42).first, 42);
  EXPECT_EQ(cancels, 4);
}

TEST_F(Protocol, ADeclineIsLogged) {
  rig.host.show(kTty, Screens::permission());
  sheet(false);
  auto r = call({{"cmd", "request-click"}, {"session", "s1"}, {"option", "Yes"}});
  EXPECT_EQ(r["error"], "Orlen declined");
  auto log = nlohmann::json::parse(Files::read(Control::logFile()).value_or(""), nullptr, false);
  EXPECT_EQ(log["who"], "orlen-declined");
  EXPECT_EQ(log["result"], "declined");
  EXPECT_EQ(log["option"], "Yes");
}

TEST_F(Protocol, SendTypesIntoAnIdleTerminalOnly) {
  rig.host.show(kTty, Screens::permission());
  auto r = call({{"cmd", "send"}, {"session", "s1"}, {"text", "hello"}});
  EXPECT_EQ(r["error"], "not sent: that console has an open question — answer it first");
  EXPECT_EQ(call({{"cmd", "send"}, {"session", "s1"}, {"text", " \n"}})["error"], "empty text");

  // A waiting status refuses even when no prompt can be seen.
  rig.agent(500, 5, "s5", "waiting");
  rig.host.show("/dev/pts/5", Screens::idle());
  EXPECT_EQ(call({{"cmd", "send"}, {"session", "s5"}, {"text", "hello"}})["error"],
            "not sent: that console has an open question — answer it first");

  rig.host.show(kTty, Screens::idle());
  rig.host.hide("/dev/pts/5");
  EXPECT_EQ(call({{"cmd", "send"}, {"session", "s5"}, {"text", "hello"}})["error"],
            "not sent: the console's screen cannot be read");
  EXPECT_TRUE(rig.host.typed().empty());
}

TEST(Client, CommandLinesBecomeRequests) {
  auto req = [](std::vector<std::string> args) { return Control::parseClient(args); };
  EXPECT_EQ(req({"ping"}).request, (nlohmann::json{{"cmd", "ping"}}));
  EXPECT_EQ(req({"answer", "003", "--option", "Green", "--expect", "abc"}).request,
            (nlohmann::json{
                {"cmd", "answer"}, {"session", "003"}, {"option", "Green"}, {"expect", "abc"}}));
  EXPECT_EQ(
      req({"answer", "s", "--text=two words", "--orlen-relayed", "--relay-from", "c"}).request,
      (nlohmann::json{{"cmd", "answer"},
                      {"session", "s"},
                      {"text", "two words"},
                      {"relayed", true},
                      {"relayFrom", "c"}}));
  EXPECT_EQ(req({"answer", "s", "--option", "Yes", "--orlen-click", "t0k"}).request["token"],
            "t0k");
  EXPECT_EQ(req({"request-click", "s", "--option", "Yes", "--timeout", "30"}).request["timeout"],
            30);
  EXPECT_EQ(req({"send", "s", "run", "the", "tests"}).request["text"], "run the tests");
  EXPECT_TRUE(req({"list", "--help"}).help);
  EXPECT_TRUE(req({"answer", "s", "--option", "Yes", "--help"}).help);
  // A message or an answer that reads like an option is still sent as written.
  EXPECT_EQ(req({"send", "s", "explain", "--help"}).request["text"], "explain --help");
  EXPECT_EQ(req({"answer", "s", "--text", "--version"}).request["text"], "--version");
  // --version is answered by the program itself, like --help: nothing is sent.
  auto version = req({"--version"});
  EXPECT_TRUE(version.version && !version.help && version.request.is_null() &&
              version.error.empty());

  for (auto bad : std::vector<std::vector<std::string>>{
           {},
           {"answer", "s"},
           {"answer", "s", "--option", "a", "--text", "b"},
           {"answer", "s", "--option"},
           {"answer", "s", "--option", "a", "--orlen-relayed"},
           {"request-click", "s", "--timeout", "soon", "--option", "a"},
           {"request-click", "s", "--text", "a"},
           {"send", "s"},
           {"list", "extra"},
           {"frobnicate"}}) {
    auto c = req(bad);
    EXPECT_FALSE(c.error.empty()) << Text::join(bad, " ");
    EXPECT_TRUE(c.request.is_null());
  }
}
