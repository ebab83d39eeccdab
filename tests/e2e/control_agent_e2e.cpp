// The control socket end to end: the real velmo in browser mode, the real agent in a
// private tmux server, and the velmo-q client as the coordinating session runs it.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <regex>

#include "base/files.h"
#include "base/paths.h"
#include "base/text.h"
#include "e2e/page_bridge.h"
#include "e2e/velmo_run.h"
#include "support/agent_lab.h"
#include "support/home.h"
#include "support/tmux_lab.h"

namespace {

const std::string kVelmoQ = Text::replaceAll(VELMO_BINARY, "/velmo", "/velmo-q");

struct Reply {
  int status = -1;
  nlohmann::json json;
  std::string out;
};

mode_t modeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

class ControlWithAgent : public ::testing::Test {
 protected:
  void SetUp() override {
    if (AgentLab::agentBinary().empty()) GTEST_SKIP() << AgentLab::whyNoAgent();
    home = std::make_unique<ScopedHome>();
    tmux = std::make_unique<PrivateTmux>();
    lab = std::make_unique<AgentLab>(*tmux, home->path());
    ASSERT_TRUE(lab->ready());
    velmo =
        std::make_unique<VelmoRun>(VELMO_BINARY, std::vector<std::string>{"--serve", "--no-open"},
                                   servedBeside(home->path(), tmux->dir()));
    auto line = velmo->line(30);
    ASSERT_TRUE(line) << "velmo --serve printed no address";
    url = *line;
    ASSERT_TRUE(waitFor([&] { return q({"ping"}).status == 0; }, 20)) << "no control socket";
  }

  void TearDown() override {
    velmo.reset();
    lab.reset();
    tmux.reset();
    home.reset();
  }

  /// Runs velmo-q with the test's home (through `prefix`, such as setpriv, when given).
  Reply q(const std::vector<std::string>& args, const std::vector<std::string>& prefix = {},
          double seconds = 60) {
    std::vector<std::string> argv = prefix;
    argv.push_back(kVelmoQ);
    argv.insert(argv.end(), args.begin(), args.end());
    std::string program = argv.front();
    argv.erase(argv.begin());
    VelmoRun run(program, argv,
                 {{"HOME", home->path()}, {"VELMO_LANG", "en"}, {"CLAUDE_CONFIG_DIR", ""}});
    Reply r;
    r.out = run.rest(seconds);
    r.status = run.wait(5).value_or(-1);
    r.json = nlohmann::json::parse(r.out, nullptr, false);
    return r;
  }

  std::string startAgent(const std::string& name, const std::vector<std::string>& args = {}) {
    std::string pane = lab->start(name, home->path() + "/work-" + name, args);
    EXPECT_FALSE(pane.empty());
    EXPECT_TRUE(waitFor([&] { return Text::contains(lab->screen(pane), "❯"); }, 90))
        << lab->screen(pane);
    return pane;
  }

  /// The open question of the terminal with process `pid`, once `velmo-q list` shows it.
  nlohmann::json questionOf(int64_t pid, double seconds = 90) {
    nlohmann::json found;
    waitFor(
        [&] {
          auto state = q({"state"});
          for (const auto& s : state.json.value("sessions", nlohmann::json::array()))
            // The agent writes its registry a moment after it starts drawing; until
            // then its terminal has no session to answer through.
            if (s.value("pid", 0) == pid && !s["questions"].empty() &&
                !s.value("sessionId", std::string()).empty()) {
              found = s["questions"][0];
              found["sessionId"] = s["sessionId"];
              found["status"] = s["status"];
              return true;
            }
          return false;
        },
        seconds, 1.0);
    return found;
  }

  /// Types a prompt as a person would and presses Enter again when the agent dropped it
  /// while redrawing (the prompt never reached the model).
  void submit(const std::string& pane, const std::string& text) {
    lab->type(pane, text);
    for (int i = 0; i < 3; ++i) {
      bool taken = waitFor([&] { return Text::contains(lab->apiLog(), text); }, 8, 0.25);
      if (taken) return;
      tmux->run({"send-keys", "-t", pane, "Enter"});
    }
  }

  bool apiHeard(const std::string& text, double seconds = 60) {
    return waitFor([&] { return Text::contains(lab->apiLog(), text); }, seconds, 0.5);
  }

  /// The session id of the terminal with process `pid` once `velmo-q state` lists it idle
  /// with its session, ready to take a message; "" when it never did.
  std::string idleSession(int64_t pid, double seconds = 90) {
    std::string sid;
    waitFor(
        [&] {
          for (const auto& s : q({"state"}).json.value("sessions", nlohmann::json::array()))
            if (s.value("pid", 0) == pid && s.value("status", "") == "idle" &&
                !s.value("sessionId", std::string()).empty()) {
              sid = s["sessionId"];
              return true;
            }
          return false;
        },
        seconds, 1.0);
    return sid;
  }

  /// The `velmo-q list` item of session `sid` once `ready` holds for it; null when never.
  nlohmann::json listed(const std::string& sid,
                        const std::function<bool(const nlohmann::json&)>& ready,
                        double seconds = 60) {
    nlohmann::json found;
    waitFor(
        [&] {
          for (const auto& x : q({"list"}).json.value("questions", nlohmann::json::array()))
            if (x.value("sessionId", "") == sid && ready(x)) {
              found = x;
              return true;
            }
          return false;
        },
        seconds, 1.0);
    return found;
  }

  /// The owner approves `option` for question `id` in the page's modal, as `velmo-q
  /// request-click` asks him to; the token his click gives ("" when none came).
  std::string ownersClick(const std::string& sid, const std::string& option,
                          const std::string& id) {
    std::smatch m;
    if (!std::regex_search(url, m, std::regex(R"(^http://127\.0\.0\.1:(\d+)/\?token=(\w+))")))
      return "";
    Bridge page("ws://127.0.0.1:" + m[1].str() + "/bridge?token=" + m[2].str(),
                "http://127.0.0.1:" + m[1].str());
    if (!page.conn) return "";
    VelmoRun click(kVelmoQ, {"request-click", sid, "--option", option, "--expect", id},
                   {{"HOME", home->path()}, {"VELMO_LANG", "en"}, {"CLAUDE_CONFIG_DIR", ""}});
    auto modal = page.take("velmoAlert", 30);
    if (modal.is_null()) return "";
    page.reply(modal, 0);
    page.spin([] { return false; }, 0.5);  // let the reply go out
    auto granted = nlohmann::json::parse(click.rest(30), nullptr, false);
    click.wait(5);
    return granted.is_object() ? granted.value("token", "") : "";
  }

  /// The slot number `velmo-q state` gives the terminal with process `pid` ("" when none).
  std::string slotOf(int64_t pid) {
    for (const auto& s : q({"state"}).json.value("sessions", nlohmann::json::array()))
      if (s.value("pid", 0) == pid && s.contains("slot"))
        return s["slot"].is_string() ? s["slot"].get<std::string>() : s["slot"].dump();
    return "";
  }

  /// Whether the file stays away for `seconds`: evidence that nothing happens, kept short.
  static bool staysAway(const std::string& file, double seconds) {
    return !waitFor([&] { return Files::exists(file); }, seconds, 0.2);
  }

  std::unique_ptr<ScopedHome> home;
  std::unique_ptr<PrivateTmux> tmux;
  std::unique_ptr<AgentLab> lab;
  std::unique_ptr<VelmoRun> velmo;
  std::string url;
};

}  // namespace

TEST_F(ControlWithAgent, AQuestionIsListedAndAnsweredOnceItsIdMatches) {
  std::string pane = startAgent("ask");
  int64_t pid = tmux->panePid(pane);
  submit(pane, "Please ASKME about the button");
  auto first = questionOf(pid);
  ASSERT_TRUE(first.is_object()) << lab->screen(pane);
  std::string sid = first["sessionId"];

  auto list = q({"list"});
  EXPECT_EQ(list.status, 0) << list.out;
  nlohmann::json item;
  for (const auto& x : list.json["questions"])
    if (x["sessionId"] == sid) item = x;
  ASSERT_TRUE(item.is_object()) << list.out;
  std::string id = item["id"];
  EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{16}"))) << id;
  EXPECT_EQ(item["question"], "Which colour should the login button be?");
  EXPECT_EQ(item["kind"], "ask");
  EXPECT_EQ(item["gate"], "routine");
  EXPECT_EQ(item["answerable"], true);
  EXPECT_EQ(item["freeText"], 4);
  ASSERT_EQ(item["options"].size(), 3u);
  EXPECT_EQ(item["options"][1]["label"], "Green");
  EXPECT_EQ(item["status"], "waiting-on-question");
  EXPECT_EQ(item["parts"][0]["options"][1]["description"], "Reads as go");

  // While the question is open, nothing is typed into the terminal as a message.
  auto sent = q({"send", sid, "Hello there"});
  EXPECT_EQ(sent.status, 1);
  EXPECT_EQ(sent.json["error"], "not sent: that console has an open question — answer it first");

  auto stale = q({"answer", sid, "--option", "Green", "--expect", "0000000000000000"});
  EXPECT_EQ(stale.status, 1);
  EXPECT_EQ(stale.json["result"], "not sent");
  EXPECT_EQ(stale.json["error"], "not sent: the question on screen changed (id " + id + ")");

  auto r = q({"answer", sid, "--option", "Green", "--expect", id});
  EXPECT_EQ(r.status, 0) << r.out << lab->screen(pane);
  EXPECT_EQ(r.json["result"], "answered");
  EXPECT_EQ(r.json["who"], "console");
  EXPECT_TRUE(apiHeard("=\\\"Green\\\"")) << lab->screen(pane);

  // Idle again: a message is typed and reaches the agent.
  ASSERT_TRUE(waitFor(
      [&] {
        return q({"send", sid, "Velmo says hello"}).status == 0;
      },
      60, 2))
      << lab->screen(pane);
  EXPECT_TRUE(apiHeard("Velmo says hello")) << lab->screen(pane);

  // The log and the state file are the owner's alone.
  std::string dir = home->agent("velmo-state");
  EXPECT_EQ(modeOf(dir), 0700u);
  EXPECT_EQ(modeOf(dir + "/answers.log"), 0600u);
  EXPECT_EQ(modeOf(dir + "/sessions.json"), 0600u);
  EXPECT_EQ(modeOf(dir + "/velmo-" + Paths::host() + ".sock") & 0777, 0600u);
  std::string log = Files::read(dir + "/answers.log").value_or("");
  EXPECT_TRUE(Text::contains(log, "\"action\":\"send\"")) << log;
  EXPECT_TRUE(Text::contains(log, "\"option\":\"Green\"")) << log;
}

TEST_F(ControlWithAgent, APermissionPromptTakesOnlyTheOwnersClickOnce) {
  std::string pane = startAgent("perm", {"--permission-mode", "default"});
  int64_t pid = tmux->panePid(pane);
  submit(pane, "Please RUNCMD now");
  auto item = questionOf(pid);
  ASSERT_TRUE(item.is_object()) << lab->screen(pane);
  std::string sid = item["sessionId"];
  EXPECT_EQ(item["kind"], "permission");
  EXPECT_EQ(item["gate"], "orlen-click");
  EXPECT_EQ(item["status"], "waiting-on-permission");

  auto refused = q({"answer", sid, "--option", "Yes"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.json["result"], "refused");
  EXPECT_EQ(refused.json["error"],
            "REFUSED: tool-permission prompt — needs --orlen-click <token> from Orlen's click in "
            "Velmo (velmo-q request-click)");

  // The owner approves in the page's modal.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(url, m, std::regex(R"(^http://127\.0\.0\.1:(\d+)/\?token=(\w+))")));
  std::string origin = "http://127.0.0.1:" + m[1].str();
  Bridge page("ws://127.0.0.1:" + m[1].str() + "/bridge?token=" + m[2].str(), origin);
  ASSERT_TRUE(page.conn);
  VelmoRun click(kVelmoQ, {"request-click", sid, "--option", "Yes", "--expect", item["id"]},
                 {{"HOME", home->path()}, {"VELMO_LANG", "en"}, {"CLAUDE_CONFIG_DIR", ""}});
  auto modal = page.take("velmoAlert", 30);
  ASSERT_FALSE(modal.is_null());
  auto alert = modal["args"][0];
  EXPECT_EQ(alert["title"], "The central console asks for your approval");
  EXPECT_EQ(alert["buttons"], nlohmann::json::array({"Approve", "Decline"}));
  EXPECT_TRUE(Text::contains(alert["text"].get<std::string>(), "Answer to send: “Yes”"))
      << alert.dump();
  page.reply(modal, 0);
  page.spin([] { return false; }, 0.5);  // let the reply go out
  auto granted = nlohmann::json::parse(click.rest(30), nullptr, false);
  EXPECT_EQ(click.wait(5), 0);
  ASSERT_EQ(granted["ok"], true) << granted.dump();
  std::string token = granted["token"];
  EXPECT_TRUE(std::regex_match(token, std::regex("[0-9a-f]{32}")));

  auto r = q({"answer", sid, "--option", "Yes", "--orlen-click", token});
  EXPECT_EQ(r.status, 0) << r.out << lab->screen(pane);
  EXPECT_EQ(r.json["who"], "orlen-relayed");
  EXPECT_TRUE(
      waitFor([&] { return Files::exists(home->path() + "/work-perm/velmo-probe.txt"); }, 30))
      << lab->screen(pane);

  auto again = q({"answer", sid, "--option", "Yes", "--orlen-click", token});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.json["result"], "answered");
}

TEST_F(ControlWithAgent, OnlyThisUserIsAnsweredAndOnlyWithinTheCap) {
  // Another user cannot even reach the socket in its private folder…
  auto other = q({"ping"}, {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
  EXPECT_EQ(other.status, 2) << other.out;

  // …and with the folder opened up, the socket itself still gives that user no reply.
  std::string dir = home->agent("velmo-state");
  ASSERT_EQ(::chmod(home->path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(home->agent("").c_str(), 0755), 0);
  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  ASSERT_EQ(::chmod((dir + "/velmo-" + Paths::host() + ".sock").c_str(), 0666), 0);
  other = q({"ping"}, {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
  EXPECT_EQ(other.status, 2) << other.out;
  EXPECT_TRUE(other.json.is_discarded()) << other.out;

  // A request over 64 KiB is cut and answered as an empty one.
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string path = dir + "/velmo-" + Paths::host() + ".sock";
  path.copy(addr.sun_path, path.size());
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  std::string big = "{\"cmd\":\"ping\",\"pad\":\"" + std::string(70000, 'x') + "\"}\n";
  ASSERT_EQ(::send(fd, big.data(), big.size(), MSG_NOSIGNAL), static_cast<ssize_t>(big.size()));
  std::string reply;
  char buf[4096];
  ssize_t n;
  while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
  ::close(fd);
  EXPECT_EQ(nlohmann::json::parse(reply, nullptr, false)["error"], "unknown command") << reply;

  auto help = q({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(Text::contains(help.out, "request-click SESSION --option TEXT")) << help.out;
}

TEST_F(ControlWithAgent, AScreenShowingAKeyNeverPutsItInTheFiles) {
  std::string pane = startAgent("secret");
  int64_t pid = tmux->panePid(pane);
  const std::string key = "sk-live0123456789abcdefABCDEF";
  submit(pane, "Please ASKME, my key is " + key);
  ASSERT_TRUE(questionOf(pid).is_object()) << lab->screen(pane);
  auto r = q({"answer", std::to_string(pid), "--text", "use token: " + key + " please"});
  EXPECT_EQ(r.status, 0) << r.out << lab->screen(pane);
  std::string dir = home->agent("velmo-state");
  waitFor([&] { return Files::exists(dir + "/sessions.json"); }, 30);
  EXPECT_TRUE(Text::contains(Files::read(dir + "/answers.log").value_or(""),
                             "\"option\":\"use token: [redacted] please\""));
  for (const char* name : {"sessions.json", "answers.log"}) {
    std::string text = Files::read(dir + "/" + name).value_or("");
    EXPECT_FALSE(text.empty()) << name;
    EXPECT_FALSE(Text::contains(text, "0123456789abcdef")) << name << ":\n" << text;
  }
}

TEST_F(ControlWithAgent, APlanApprovalIsThePlanAndTakesOnlyTheOwnersClick) {
  std::string pane = startAgent("plan", {"--permission-mode", "plan"});
  int64_t pid = tmux->panePid(pane);
  submit(pane, "Please PLANME now");
  auto first = questionOf(pid);
  ASSERT_TRUE(first.is_object()) << lab->screen(pane);
  std::string sid = first["sessionId"];

  auto item = listed(sid, [](const nlohmann::json&) { return true; });
  ASSERT_TRUE(item.is_object()) << lab->screen(pane);
  EXPECT_EQ(item["kind"], "plan");
  EXPECT_EQ(item["gate"], "orlen-click");
  EXPECT_EQ(item["form"], "tool-permission");
  EXPECT_EQ(item["question"], "Ready to code?");
  EXPECT_EQ(item["status"], "waiting-on-permission");
  EXPECT_TRUE(Text::contains(item["body"].get<std::string>(), "Add a dark theme")) << item.dump();

  auto refused = q({"answer", sid, "--option", "Yes, and use auto mode"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.json["result"], "refused");
  EXPECT_EQ(refused.json["kind"], "plan");
  EXPECT_EQ(refused.json["error"],
            "REFUSED: tool-permission prompt — needs --orlen-click <token> from Orlen's click in "
            "Velmo (velmo-q request-click)");
  // Nothing was typed: the approval is still waiting.
  EXPECT_TRUE(Text::contains(lab->screen(pane), "Ready to code?")) << lab->screen(pane);
  std::string file = home->agent("velmo-state/sessions.json");
  EXPECT_TRUE(waitFor(
      [&] { return Text::contains(Files::read(file).value_or(""), "\"kind\": \"plan\""); }, 30))
      << Files::read(file).value_or("");
}

TEST_F(ControlWithAgent, ALabelTheAgentWrapsIsAnsweredByItsWholeText) {
  const std::string full =
      "Say welcome back to the whole team and remind everyone that the quarterly planning "
      "notes, the style checklist and the open review queue are all waiting in the left panel";
  std::string pane = startAgent("long");
  int64_t pid = tmux->panePid(pane);
  submit(pane, "Please LONGASK about the banner");
  auto first = questionOf(pid);
  ASSERT_TRUE(first.is_object()) << lab->screen(pane);
  std::string sid = first["sessionId"];
  // The pane is narrower than the label: the agent drew it over two rows.
  ASSERT_FALSE(Text::contains(lab->screen(pane), full)) << lab->screen(pane);

  auto item = listed(sid, [&](const nlohmann::json& x) {
    return x["options"].size() == 3 && x["options"][1]["label"] == full;
  });
  ASSERT_TRUE(item.is_object()) << q({"list"}).out;
  EXPECT_EQ(item["options"][1]["description"], "Says everything at once");

  auto r = q({"answer", sid, "--option", full, "--expect", item["id"]});
  EXPECT_EQ(r.status, 0) << r.out << lab->screen(pane);
  EXPECT_EQ(r.json["answer"], full);
  EXPECT_TRUE(apiHeard("=\\\"" + full + "\\\"")) << lab->screen(pane);
}

TEST_F(ControlWithAgent, AReturnInsideASentTextIsNoEnter) {
  std::string pane = startAgent("keys");
  int64_t pid = tmux->panePid(pane);
  std::string sid = idleSession(pid);
  ASSERT_FALSE(sid.empty()) << lab->screen(pane);

  // Typed as keys, the return would rename the session to "A" and send "second prompt".
  auto r = q({"send", sid, "/rename A\rsecond prompt"});
  EXPECT_EQ(r.status, 0) << r.out << lab->screen(pane);
  std::string record = home->agent("sessions/" + std::to_string(pid) + ".json");
  EXPECT_TRUE(waitFor(
      [&] {
        auto json = nlohmann::json::parse(Files::read(record).value_or(""), nullptr, false);
        return json.is_object() && json.value("name", "") == "Asecond prompt";
      },
      20))
      << Files::read(record).value_or("") << lab->screen(pane);

  ASSERT_FALSE(idleSession(pid).empty());
  r = q({"send", sid, "first part\rsecond part"});
  EXPECT_EQ(r.status, 0) << r.out << lab->screen(pane);
  EXPECT_TRUE(apiHeard("first partsecond part")) << lab->screen(pane);
  // No message of its own ever began with the words after the return.
  std::string log = lab->apiLog();
  EXPECT_FALSE(Text::contains(log, "\"second prompt")) << log;
  EXPECT_FALSE(Text::contains(log, "\"second part")) << log;
}

TEST_F(ControlWithAgent, AHalfTypedDraftIsNeverSentOver) {
  std::string pane = startAgent("draft");
  int64_t pid = tmux->panePid(pane);
  std::string sid = idleSession(pid);
  ASSERT_FALSE(sid.empty()) << lab->screen(pane);
  ASSERT_TRUE(lab->waitForInput(pane));

  tmux->run({"send-keys", "-t", pane, "-l", "half typed draft"});
  ASSERT_TRUE(waitFor([&] { return Text::contains(lab->screen(pane), "half typed draft"); }, 30))
      << lab->screen(pane);
  auto r = q({"send", sid, "Velmo says hello"});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(r.json["error"], "not sent: the terminal has unsent text; send it or clear it first");

  // The draft is as the person left it, and nothing reached the model.
  std::string screen = lab->screen(pane);
  EXPECT_TRUE(Text::contains(screen, "❯\u00a0half typed draft\n")) << screen;
  EXPECT_FALSE(Text::contains(screen, "Velmo says hello")) << screen;
  std::string log = lab->apiLog();
  EXPECT_FALSE(Text::contains(log, "half typed draft"));
  EXPECT_FALSE(Text::contains(log, "Velmo says hello"));
}

TEST_F(ControlWithAgent, AComposerMessageOfSeveralLinesArrivesAsOne) {
  std::string pane = startAgent("lines");
  int64_t pid = tmux->panePid(pane);
  std::string sid = idleSession(pid);
  ASSERT_FALSE(sid.empty()) << lab->screen(pane);

  std::smatch m;
  ASSERT_TRUE(std::regex_search(url, m, std::regex(R"(^http://127\.0\.0\.1:(\d+)/\?token=(\w+))")));
  Bridge page("ws://127.0.0.1:" + m[1].str() + "/bridge?token=" + m[2].str(),
              "http://127.0.0.1:" + m[1].str());
  ASSERT_TRUE(page.conn);
  page.send({{"act", "quick"}, {"sid", sid}, {"text", "line one\nline two\r\nline three"}});
  EXPECT_TRUE(apiHeard("line one\\nline two\\nline three")) << lab->screen(pane);
  std::string log = lab->apiLog();
  EXPECT_FALSE(Text::contains(log, "\"line two")) << log;
  EXPECT_FALSE(Text::contains(log, "\"line three")) << log;
}

TEST_F(ControlWithAgent, AMessageOverAPermissionPromptIsRefusedAndTypesNothing) {
  std::string pane = startAgent("over", {"--permission-mode", "default"});
  int64_t pid = tmux->panePid(pane);
  submit(pane, "Please RUNCMD now");
  auto item = questionOf(pid);
  ASSERT_TRUE(item.is_object()) << lab->screen(pane);
  ASSERT_EQ(item["kind"], "permission") << item.dump();
  std::string slot = slotOf(pid);
  ASSERT_FALSE(slot.empty()) << q({"state"}).out;

  // Typed, the Enter after the words would pick the highlighted "1. Yes".
  auto sent = q({"send", slot, "thanks"});
  EXPECT_EQ(sent.status, 1) << sent.out;
  EXPECT_NE(sent.json.value("result", ""), "sent") << sent.out;
  EXPECT_TRUE(Text::contains(sent.json.value("error", ""), "answer it first")) << sent.out;

  std::string probe = home->path() + "/work-over/velmo-probe.txt";
  EXPECT_TRUE(staysAway(probe, 3)) << lab->screen(pane);
  std::string screen = lab->screen(pane);
  EXPECT_TRUE(Text::contains(screen, "Do you want to proceed?")) << screen;
  EXPECT_TRUE(Text::contains(screen, "touch velmo-probe.txt")) << screen;
  EXPECT_FALSE(Text::contains(screen, "thanks")) << screen;
  EXPECT_FALSE(Text::contains(lab->apiLog(), "\"thanks")) << "the model heard the message";
}

TEST_F(ControlWithAgent, AnAnswerToTheFirstOfTwoCommandsRunsThatOneOnly) {
  std::string pane = startAgent("two", {"--permission-mode", "default"});
  int64_t pid = tmux->panePid(pane);
  submit(pane, "Please TWOCMD now");
  auto first = questionOf(pid);
  ASSERT_TRUE(first.is_object()) << lab->screen(pane);
  std::string sid = first["sessionId"];
  auto asking = [](const std::string& command) {
    return
        [command](const nlohmann::json& x) { return Text::contains(x.value("body", ""), command); };
  };
  auto item = listed(sid, asking("touch velmo-one.txt"));
  ASSERT_TRUE(item.is_object()) << q({"list"}).out << lab->screen(pane);
  std::string id = item["id"];
  EXPECT_EQ(item["question"], "Do you want to proceed?");

  std::string token = ownersClick(sid, "Yes", id);
  ASSERT_FALSE(token.empty());
  auto r = q({"answer", sid, "--option", "Yes", "--expect", id, "--orlen-click", token});
  EXPECT_EQ(r.status, 0) << r.out << lab->screen(pane);
  EXPECT_EQ(r.json["result"], "answered") << r.out;

  std::string work = home->path() + "/work-two/";
  EXPECT_TRUE(waitFor([&] { return Files::exists(work + "velmo-one.txt"); }, 30))
      << lab->screen(pane);
  // The second prompt, alike but for its command, takes the first one's place at once.
  ASSERT_TRUE(waitFor(
      [&] {
        std::string now = lab->screen(pane);
        return Files::exists(work + "velmo-two.txt") ||
               (Text::contains(now, "touch velmo-two.txt") &&
                Text::contains(now, "Do you want to proceed?"));
      },
      30))
      << lab->screen(pane);
  ASSERT_FALSE(Files::exists(work + "velmo-two.txt"))
      << "the second command ran without an answer:\n"
      << lab->screen(pane);
  // It has its own id and waits for its own answer.
  auto next = listed(sid, asking("touch velmo-two.txt"));
  ASSERT_TRUE(next.is_object()) << q({"list"}).out << lab->screen(pane);
  EXPECT_NE(next["id"], id);
  EXPECT_EQ(next["question"], item["question"]);
  EXPECT_EQ(next["options"], item["options"]);
  // The answer has returned, so it types nothing more; a key it had pressed would have run
  // the command by now.
  EXPECT_TRUE(staysAway(work + "velmo-two.txt", 3)) << lab->screen(pane);
  std::string screen = lab->screen(pane);
  EXPECT_TRUE(Text::contains(screen, "Do you want to proceed?")) << screen;
  EXPECT_TRUE(Text::contains(screen, "touch velmo-two.txt")) << screen;

  // The first question's answer, given again, does not reach the second.
  auto again = q({"answer", sid, "--option", "Yes", "--expect", id, "--orlen-click", token});
  EXPECT_EQ(again.status, 1) << again.out;
  EXPECT_NE(again.json["result"], "answered") << again.out;
  EXPECT_TRUE(staysAway(work + "velmo-two.txt", 2)) << lab->screen(pane);
}
