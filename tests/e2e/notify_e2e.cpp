// Notifications against a notification server on a private session bus (python3-dbusmock's
// notification daemon), for prompts shown in panes of a private tmux server and read the
// way the application reads them.

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <mutex>

#include "base/caches.h"
#include "base/files.h"
#include "base/settings.h"
#include "base/text.h"
#include "control/control.h"
#include "control/notify.h"
#include "e2e/velmo_run.h"
#include "feed/state_feed.h"
#include "shell/notifier_dbus.h"
#include "support/agent_lab.h"
#include "support/fake_clock.h"
#include "support/home.h"
#include "support/tmux_lab.h"
#include "terminals/answer.h"
#include "terminals/discover.h"
#include "terminals/host.h"
#include "terminals/picker.h"

namespace {

const std::string kScreens = std::string(VELMO_FIXTURES_DIR) + "/screens";

/// One Notify call the server received.
struct Shown {
  uint32_t replaces = 0;
  std::string summary, body;
  std::vector<std::string> actions;          ///< key, label, key, label, …
  std::map<std::string, std::string> hints;  ///< printed values
  int timeout = -1;
};

class NotifyE2E : public ::testing::Test {
 protected:
  ScopedHome home;
  GTestDBus* bus = nullptr;
  GDBusConnection* probe = nullptr;
  GPid mock = 0;

  std::mutex lock;
  std::vector<std::tuple<std::string, std::string, std::string, std::string>> answers;
  std::vector<std::string> opened;

  void SetUp() override {
    bus = g_test_dbus_new(G_TEST_DBUS_NONE);
    g_test_dbus_up(bus);
    probe = g_dbus_connection_new_for_address_sync(
        g_test_dbus_get_bus_address(bus),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    ASSERT_NE(probe, nullptr);
  }
  void TearDown() override {
    if (mock) {
      ::kill(mock, SIGTERM);
      ::waitpid(mock, nullptr, 0);
      g_spawn_close_pid(mock);
    }
    if (probe) {
      g_dbus_connection_close_sync(probe, nullptr, nullptr);
      g_object_unref(probe);
    }
    g_test_dbus_down(bus);
    g_object_unref(bus);
  }

  // The notification daemon of python3-dbusmock (Debian's, for /usr/bin/python3).
  void startServer(const std::string& capabilities) {
    std::string parameters = "{\"capabilities\": \"" + capabilities + "\"}";
    const gchar* argv[] = {"/usr/bin/python3",    "-m", "dbusmock",         "--template",
                           "notification_daemon", "-p", parameters.c_str(), nullptr};
    GError* error = nullptr;
    ASSERT_TRUE(g_spawn_async(
        nullptr, const_cast<gchar**>(argv), nullptr,
        static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL), nullptr,
        nullptr, &mock, &error))
        << (error ? error->message : "");
    ASSERT_TRUE(waitFor([this] { return !owner().empty(); }, 20))
        << "python3-dbusmock did not come up (scripts/install-deps installs it)";
  }

  std::string owner() {
    GVariant* reply = g_dbus_connection_call_sync(
        probe, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetNameOwner", g_variant_new("(s)", "org.freedesktop.Notifications"),
        G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    if (!reply) return "";
    const gchar* name = nullptr;
    g_variant_get(reply, "(&s)", &name);
    std::string out = name;
    g_variant_unref(reply);
    return out;
  }

  GVariant* mockCall(const char* method, GVariant* args, const char* type) {
    return g_dbus_connection_call_sync(
        probe, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
        "org.freedesktop.DBus.Mock", method, args, type ? G_VARIANT_TYPE(type) : nullptr,
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  }

  // The arguments of every call of the method so far, as the mock recorded them.
  std::vector<GVariant*> calls(const char* method) {
    std::vector<GVariant*> out;
    GVariant* reply = mockCall("GetMethodCalls", g_variant_new("(s)", method), "(a(tav))");
    if (!reply) return out;
    GVariant* list = g_variant_get_child_value(reply, 0);
    for (gsize i = 0; i < g_variant_n_children(list); ++i) {
      GVariant* call = g_variant_get_child_value(list, i);
      out.push_back(g_variant_get_child_value(call, 1));
      g_variant_unref(call);
    }
    g_variant_unref(list);
    g_variant_unref(reply);
    return out;
  }

  static GVariant* arg(GVariant* args, gsize i) {
    GVariant* boxed = g_variant_get_child_value(args, i);
    GVariant* inner = g_variant_get_variant(boxed);
    g_variant_unref(boxed);
    return inner;
  }

  std::vector<Shown> shown() {
    std::vector<Shown> out;
    for (GVariant* args : calls("Notify")) {
      Shown s;
      GVariant* v = arg(args, 1);
      s.replaces = g_variant_get_uint32(v);
      g_variant_unref(v);
      v = arg(args, 3);
      s.summary = g_variant_get_string(v, nullptr);
      g_variant_unref(v);
      v = arg(args, 4);
      s.body = g_variant_get_string(v, nullptr);
      g_variant_unref(v);
      v = arg(args, 5);
      for (gsize i = 0; i < g_variant_n_children(v); ++i) {
        GVariant* a = g_variant_get_child_value(v, i);
        s.actions.push_back(g_variant_get_string(a, nullptr));
        g_variant_unref(a);
      }
      g_variant_unref(v);
      v = arg(args, 6);
      GVariantIter iter;
      g_variant_iter_init(&iter, v);
      const gchar* key = nullptr;
      GVariant* value = nullptr;
      while (g_variant_iter_next(&iter, "{&sv}", &key, &value)) {
        gchar* printed = g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)
                             ? g_variant_dup_string(value, nullptr)
                             : g_variant_print(value, FALSE);
        s.hints[key] = printed;
        g_free(printed);
        g_variant_unref(value);
      }
      g_variant_unref(v);
      v = arg(args, 7);
      s.timeout = g_variant_get_int32(v);
      g_variant_unref(v);
      g_variant_unref(args);
      out.push_back(s);
    }
    return out;
  }

  std::vector<uint32_t> closed() {
    std::vector<uint32_t> out;
    for (GVariant* args : calls("CloseNotification")) {
      GVariant* v = arg(args, 0);
      // The mock declares the id signed, so it records it as it understood it.
      out.push_back(g_variant_is_of_type(v, G_VARIANT_TYPE_INT32)
                        ? static_cast<uint32_t>(g_variant_get_int32(v))
                        : g_variant_get_uint32(v));
      g_variant_unref(v);
      g_variant_unref(args);
    }
    return out;
  }

  // The server's signal, as the user's click or reply makes it.
  void emit(const char* name, uint32_t id, const std::string& text) {
    GVariantBuilder args;
    g_variant_builder_init(&args, G_VARIANT_TYPE("av"));
    g_variant_builder_add(&args, "v", g_variant_new_uint32(id));
    g_variant_builder_add(&args, "v", g_variant_new_string(text.c_str()));
    GVariant* reply = mockCall(
        "EmitSignal", g_variant_new("(sssav)", "org.freedesktop.Notifications", name, "us", &args),
        nullptr);
    ASSERT_NE(reply, nullptr);
    g_variant_unref(reply);
  }

  // Answers go through the real gate; the calls are noted on the way.
  std::shared_ptr<Notify> make(std::shared_ptr<Notifier> notifier) {
    Notify::Hooks h = Notify::Hooks::live();
    h.answer = [this](const Terminal& term, const std::string& expect, const std::string& option,
                      const std::string& text, const std::string& via,
                      const Control::Authorize& authorize) {
      {
        std::lock_guard<std::mutex> guard(lock);
        answers.emplace_back(term.tty, expect, option, text);
      }
      return Control::answer(term, expect, option, text, via, authorize);
    };
    auto n = Notify::make(std::move(notifier), h);
    n->onOpen([this](const std::string& sid) {
      std::lock_guard<std::mutex> guard(lock);
      opened.push_back(sid);
    });
    return n;
  }
  size_t answerCount() {
    std::lock_guard<std::mutex> guard(lock);
    return answers.size();
  }
};

// Stands in for the agent: shows its question, follows the cursor keys, and on Return
// notes the row chosen and shows that it is done. Run with argv[0] ending in "claude",
// so the process list names it an agent.
constexpr const char* kAgentScript = R"(
cat "$1"
stty -echo -icanon min 1 time 0 2>/dev/null
row=1
while IFS= read -rsn1 key; do
  if [ "$key" = $'\e' ]; then
    IFS= read -rsn2 rest
    case "$rest" in "[B"|"OB") row=$((row + 1)) ;; "[A"|"OA") row=$((row - 1)) ;; esac
  elif [ -z "$key" ]; then
    echo "$row" > "$2"
    clear
    printf '\xe2\x97\x8f Done.\n'
    while :; do sleep 3600; done
  fi
done
)";

TEST_F(NotifyE2E, AWaitingPromptIsPostedAdoptedAfterARelaunchAnsweredAndRetracted) {
  startServer("body actions body-markup inline-reply");
  PrivateTmux tmux;
  Terminals::installHost(nullptr);
  Caches::emptyAll();
  std::string script = tmux.dir() + "/agent.sh";
  std::string chosen = tmux.dir() + "/chosen";
  ASSERT_TRUE(Files::writeAtomic(script, kAgentScript, 0755));
  std::string pane =
      tmux.openPane({"/bin/bash", "-c", "exec -a \"$0\" /bin/bash \"$1\" \"$2\" \"$3\"",
                     tmux.dir() + "/claude", script, kScreens + "/ask-single.txt", chosen});
  ASSERT_FALSE(pane.empty());
  int64_t pid = 0;
  ASSERT_TRUE(waitFor(
      [&] {
        return (pid = tmux.panePid(pane)) > 0 &&
               Text::contains(Files::read("/proc/" + std::to_string(pid) + "/cmdline").value_or(""),
                              "agent.sh");
      },
      10));
  std::string tty = tmux.paneTty(pane);
  home.write(".claude/sessions/" + std::to_string(pid) + ".json",
             nlohmann::json{{"sessionId", "sess-ask"}, {"pid", pid}, {"status", "waiting"}}.dump());

  std::vector<Terminal> terms;
  std::vector<Terminals::Picker> pickers;
  auto look = [&] {
    Caches::emptyAll();
    terms = Terminals::open();
    pickers = Terminals::pickers(true).list;
  };
  auto ours = [&]() -> std::optional<Terminals::Picker> {
    for (const auto& p : pickers)
      if (p.tty == tty) return p;
    return std::nullopt;
  };
  ASSERT_TRUE(waitFor(
      [&] {
        look();
        return ours().has_value();
      },
      20))
      << tmux.capture(pane);
  std::string qid = StateFeed::questionID(*ours());

  {
    FakeClock clock;
    Settings::set("notifyMinWait", 30);
    {
      auto notify = make(dbusNotifier());
      notify->tick(terms, pickers);
      clock.advance(29);
      notify->tick(terms, pickers);
      EXPECT_TRUE(shown().empty());
      clock.advance(1);
      notify->tick(terms, pickers);
      auto posts = shown();
      ASSERT_EQ(posts.size(), 1u);
      EXPECT_TRUE(Text::endsWith(posts[0].summary, " — asks you")) << posts[0].summary;
      EXPECT_EQ(posts[0].body, "Which colour should the login button be?");
      EXPECT_EQ(posts[0].actions,
                (std::vector<std::string>{"opt.1", "Blue", "opt.2", "Green", "opt.3", "Orange",
                                          "inline-reply", "Reply", "open", "Open in Velmo",
                                          "default", "Open in Velmo"}));
      EXPECT_EQ(posts[0].hints["suppress-sound"], "true");
      EXPECT_EQ(posts[0].hints["x-kde-reply-submit-button-text"], "Send");
      EXPECT_EQ(posts[0].timeout, 0);
    }
    // A relaunch adopts what is on show: nothing is posted again.
    clock.advance(60);
    auto notify = make(dbusNotifier());
    notify->tick(terms, pickers);
    EXPECT_EQ(shown().size(), 1u);
    ASSERT_EQ(notify->seen().count(qid), 1u);
    EXPECT_EQ(notify->seen()[qid].serverID, 1u);  // the mock numbers from 1
  }

  // The user clicks "Green" on the notification the first run posted: the gate types it, on
  // the real clock, as the answer takes real seconds.
  auto notify = make(dbusNotifier());
  notify->setUp();
  emit("ActionInvoked", 1, "opt.2");
  ASSERT_TRUE(waitFor([&] { return Files::read(chosen).value_or("") == "2\n"; }, 30))
      << tmux.capture(pane);
  ASSERT_TRUE(waitFor(
      [&] {
        auto log = Files::read(Control::logFile()).value_or("");
        return Text::contains(log, "\"result\":\"answered\"");
      },
      20))
      << Files::read(Control::logFile()).value_or("");
  auto log = nlohmann::json::parse(Files::read(Control::logFile()).value_or(""), nullptr, false);
  EXPECT_EQ(log["via"], "notification");
  EXPECT_EQ(log["who"], "orlen");
  EXPECT_EQ(log["option"], "Green");

  // A reply now finds the question answered, and says so in a notification.
  emit("NotificationReplied", 1, "Purple, please");
  ASSERT_TRUE(waitFor([&] { return shown().size() == 2; }, 20));
  EXPECT_EQ(shown()[1].body, "Not sent — not sent: no open question on screen");
  emit("ActionInvoked", 1, "default");
  ASSERT_TRUE(waitFor(
      [&] {
        std::lock_guard<std::mutex> guard(lock);
        return opened.size() == 1;
      },
      10));
  {
    std::lock_guard<std::mutex> guard(lock);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0], std::make_tuple(tty, qid, std::string("#2"), std::string()));
    EXPECT_EQ(answers[1], std::make_tuple(tty, qid, std::string(), std::string("Purple, please")));
    EXPECT_EQ(opened[0], "sess-ask");
  }

  // The prompt has left the screen: gone for 4 seconds, its notification is taken away.
  FakeClock clock;
  look();
  ASSERT_FALSE(ours());
  notify->tick(terms, pickers);
  clock.advance(3);
  notify->tick(terms, pickers);
  EXPECT_TRUE(closed().empty());
  clock.advance(1);
  notify->tick(terms, pickers);
  EXPECT_EQ(closed(), (std::vector<uint32_t>{1}));
  std::string trace = Files::read(Notify::logPath()).value_or("");
  EXPECT_TRUE(Text::contains(trace, "notifications granted=true status=authorized")) << trace;
  EXPECT_TRUE(Text::contains(trace, "adopt " + qid)) << trace;
  EXPECT_TRUE(Text::contains(trace, "retract " + qid + " (left the screen)")) << trace;
}

TEST_F(NotifyE2E, MarkupIsEscapedForServersThatReadIt) {
  startServer("body actions body-markup");
  auto notifier = dbusNotifier();
  Notifier::Request r;
  r.summary = "s";
  r.body = "if a < b && c > d";
  auto posted = notifier->post(r);
  EXPECT_EQ(posted.id, 1u) << posted.error;
  auto posts = shown();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].body, "if a &lt; b &amp;&amp; c &gt; d");
  EXPECT_EQ(posts[0].timeout, -1);
}

TEST_F(NotifyE2E, WithoutANotificationServerVelmoKeepsWorkingAndTracesWhy) {
  FakeClock clock;
  auto notify = make(dbusNotifier());
  Terminal term;
  term.tty = "/dev/pts/77";
  term.slot = "077";
  Terminals::Picker picker;
  picker.tty = term.tty;
  picker.question = "Go on?";
  picker.options = {{"1", "Yes", ""}, {"2", "No", ""}};
  notify->tick({term}, {picker});
  notify->fyi("hello");
  EXPECT_EQ(Notify::authorization(), "unavailable");
  std::string log = Files::read(Notify::logPath()).value_or("");
  EXPECT_TRUE(Text::contains(log, "notifications granted=false status=unavailable why=")) << log;
  EXPECT_TRUE(Text::contains(log, "org.freedesktop.Notifications")) << log;
  EXPECT_TRUE(Text::contains(log, " error=")) << log;
  EXPECT_EQ(notify->seen().size(), 1u);
}

}  // namespace

// Two Velmos on one home, both watching a real agent that asks: only the one holding the
// claim posts, so the question raises one notification, not two.
TEST_F(NotifyE2E, TwoVelmosOnOneHomeRaiseOneNotificationPerQuestion) {
  if (AgentLab::agentBinary().empty()) GTEST_SKIP() << AgentLab::whyNoAgent();
  startServer("body actions body-markup");
  home.write(".config/velmo/settings.json", R"({"notifyMinWait": 0})");
  PrivateTmux tmux;
  AgentLab lab(tmux, home.path());
  ASSERT_TRUE(lab.ready());
  VelmoRun first(VELMO_BINARY, {"--serve", "--no-open"}, servedBeside(home.path(), tmux.dir()));
  ASSERT_TRUE(first.line(60));
  VelmoRun second(VELMO_BINARY, {"--serve", "--no-open"}, servedBeside(home.path(), tmux.dir()));
  ASSERT_TRUE(second.line(60));

  std::string pane = lab.start("ask", home.path() + "/work");
  ASSERT_TRUE(lab.waitForInput(pane, 90)) << lab.screen(pane);
  lab.type(pane, "Please ASKME about the button");
  ASSERT_TRUE(waitFor([&] { return !shown().empty(); }, 90)) << lab.screen(pane);
  // Both Velmos have looked at the question several times by now.
  ::sleep(8);
  auto posts = shown();
  EXPECT_EQ(posts.size(), 1u);
  for (const auto& p : posts) EXPECT_EQ(p.replaces, 0u) << p.summary;
}

// The agent asks for two commands of one reply in turn, the prompts alike but for the
// command. The owner's Yes on the first one's notification runs the first command only:
// the second prompt stays on screen, with a notification of its own.
TEST_F(NotifyE2E, YesOnTheFirstOfTwoCommandsRunsThatOneOnly) {
  if (AgentLab::agentBinary().empty()) GTEST_SKIP() << AgentLab::whyNoAgent();
  startServer("body actions body-markup");
  home.write(".config/velmo/settings.json", R"({"notifyMinWait": 0})");
  PrivateTmux tmux;
  AgentLab lab(tmux, home.path());
  ASSERT_TRUE(lab.ready());
  VelmoRun velmo(VELMO_BINARY, {"--serve", "--no-open"}, servedBeside(home.path(), tmux.dir()));
  ASSERT_TRUE(velmo.line(20)) << "velmo --serve printed no address";

  const std::string work = home.path() + "/work-two/";
  std::string pane = lab.start("two", work, {"--permission-mode", "default"});
  ASSERT_TRUE(lab.waitForInput(pane, 90)) << lab.screen(pane);
  lab.type(pane, "Please TWOCMD now");
  for (int i = 0; i < 3 && !waitFor([&] { return Text::contains(lab.apiLog(), "TWOCMD"); }, 8); ++i)
    tmux.run({"send-keys", "-t", pane, "Enter"});  // the agent dropped the Enter

  // The mock numbers the notifications it is given from 1, in order; a replacement keeps
  // the number it replaces.
  auto numbered = [&] {
    std::vector<std::pair<uint32_t, Shown>> out;
    uint32_t next = 1;
    for (auto& s : shown()) out.emplace_back(s.replaces ? s.replaces : next++, s);
    return out;
  };
  auto about = [&](const std::string& command) -> std::optional<std::pair<uint32_t, Shown>> {
    for (auto& n : numbered())
      if (Text::contains(n.second.body, command)) return n;
    return std::nullopt;
  };
  auto described = [&] {
    std::string out;
    for (auto& n : numbered()) out += std::to_string(n.first) + ": " + n.second.body + "\n";
    return out + "--- screen:\n" + lab.screen(pane);
  };

  std::optional<std::pair<uint32_t, Shown>> first;
  ASSERT_TRUE(waitFor([&] { return (first = about("touch velmo-one.txt")).has_value(); }, 90))
      << described();
  const auto& actions = first->second.actions;
  ASSERT_GE(actions.size(), 2u);
  ASSERT_EQ(actions[0], "opt.1");
  ASSERT_EQ(actions[1], "Yes");
  emit("ActionInvoked", first->first, "opt.1");

  ASSERT_TRUE(waitFor([&] { return Files::exists(work + "velmo-one.txt"); }, 30)) << described();
  // The second prompt, alike but for its command, takes the first one's place at once.
  ASSERT_TRUE(waitFor(
      [&] {
        std::string now = lab.screen(pane);
        return Files::exists(work + "velmo-two.txt") ||
               (Text::contains(now, "touch velmo-two.txt") &&
                Text::contains(now, "Do you want to proceed?"));
      },
      30))
      << described();
  ASSERT_FALSE(Files::exists(work + "velmo-two.txt"))
      << "the second command ran without an answer:\n"
      << described();
  // Velmo sees the second prompt as a question of its own.
  ASSERT_TRUE(waitFor([&] { return about("touch velmo-two.txt").has_value(); }, 30)) << described();
  EXPECT_NE(about("touch velmo-two.txt")->first, first->first);
  // The answer is logged once its check is over: from then on it types nothing.
  std::string log = home.agent("velmo-state/answers.log");
  ASSERT_TRUE(waitFor(
      [&] { return Text::contains(Files::read(log).value_or(""), "\"via\":\"notification\""); },
      30))
      << Files::read(log).value_or("");
  std::string said = Files::read(log).value_or("");
  EXPECT_TRUE(Text::contains(said, "\"result\":\"answered\"")) << said;

  // A key it had pressed would have run the second command by now.
  EXPECT_FALSE(waitFor([&] { return Files::exists(work + "velmo-two.txt"); }, 3, 0.2))
      << described();
  std::string screen = lab.screen(pane);
  EXPECT_TRUE(Text::contains(screen, "Do you want to proceed?")) << screen;
  EXPECT_TRUE(Text::contains(screen, "touch velmo-two.txt")) << screen;
}
