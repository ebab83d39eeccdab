// Redaction, question identity, kind and gate: what a coordinating session relies on to
// tell questions apart and to know which ones only the owner may answer.

#include <gtest/gtest.h>

#include "base/files.h"
#include "feed/state_feed.h"
#include "terminals/picker.h"

namespace {

Terminals::Picker prompt(const std::string& question, const std::vector<std::string>& labels,
                         const std::string& tty = "/dev/pts/3") {
  Terminals::Picker p;
  p.tty = tty;
  p.question = question;
  int n = 1;
  for (const auto& l : labels) p.options.push_back({std::to_string(n++), l, ""});
  return p;
}

Terminals::Picker fixture(const std::string& name) {
  auto text = Files::read(std::string(VELMO_FIXTURES_DIR) + "/screens/" + name);
  EXPECT_TRUE(text) << name;
  auto p = Terminals::parseScreen(text.value_or(""), "/dev/pts/1");
  EXPECT_TRUE(p) << name;
  return p.value_or(Terminals::Picker{});
}

}  // namespace

TEST(Redact, KeepsTheKeywordAndSeparatorAndDropsTheValue) {
  EXPECT_EQ(StateFeed::redact("token: abc123def4 left"), "token: [redacted] left");
  EXPECT_EQ(StateFeed::redact("PASSWORD=hunter2hunter"), "PASSWORD=[redacted]");
  EXPECT_EQ(StateFeed::redact("api_key \"0123456789\""), "api_key \"[redacted]\"");
  // Seven characters are not taken for a value.
  EXPECT_EQ(StateFeed::redact("secret: short12"), "secret: short12");
}

TEST(Redact, PathsSurviveAndRunsOfLettersAndDigitsGo) {
  std::string path = "/home/user/build2026abcdefghijklmnopqrstuv/out.txt";
  EXPECT_EQ(StateFeed::redact("see " + path), "see " + path);
  EXPECT_EQ(StateFeed::redact("key a1b2c3d4e5f6g7h8i9j0k1l2m3n4o5 here"), "key [redacted:30] here");
  std::string letters = "abcdefghijklmnopqrstuvwxyzabcd";
  EXPECT_EQ(StateFeed::redact(letters), letters);
  EXPECT_EQ(StateFeed::redact(""), "");
  // One slash is still a key (base64 often has one); a leading slash is a path.
  EXPECT_EQ(StateFeed::redact("Zm9vYmFyYmF6cXV4/cXV1eDEyMzQ1Njc4"), "[redacted:33]");
}

TEST(Redact, KnownKeyShapesGoEvenWhenShort) {
  EXPECT_EQ(StateFeed::redact("sk-ant0123456789ab"), "[redacted:18]");
  EXPECT_EQ(StateFeed::redact("ghp_abcdef123456"), "[redacted:16]");
  EXPECT_EQ(StateFeed::redact("AKIA1234567890AB!"), "[redacted:16]!");
  EXPECT_EQ(StateFeed::redact("Bearer eyJhbGciOiJIUzI1.eyJzdWIi.sig"), "Bearer [redacted]");
}

TEST(QuestionID, SamePromptSameIdAndEveryDifferenceCounts) {
  auto p = prompt("Which colour?", {"Blue", "Green"});
  std::string id = StateFeed::questionID(p);
  EXPECT_EQ(id.size(), 16u);
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);

  auto again = p;
  again.cursor = 2;  // moving the marker is the same question
  again.context = "other words above";
  EXPECT_EQ(StateFeed::questionID(again), id);

  EXPECT_NE(StateFeed::questionID(prompt("Which colour?", {"Blue", "Green"}, "/dev/pts/4")), id);
  EXPECT_NE(StateFeed::questionID(prompt("Which colour?", {"Blue", "Red"})), id);
  EXPECT_NE(StateFeed::questionID(prompt("Which shade?", {"Blue", "Green"})), id);

  // Review screens look alike; what was answered (the context) tells them apart.
  auto r1 = prompt("Review your answers", {"Submit answers", "Cancel"});
  r1.review = true;
  r1.context = "Which checks? → Lint";
  auto r2 = r1;
  r2.context = "Which checks? → Fuzz";
  EXPECT_NE(StateFeed::questionID(r1), StateFeed::questionID(r2));

  // Two permission prompts differ only in the command they ask about.
  auto run = prompt("Do you want to proceed?", {"Yes", "No"});
  run.body = {"Bash command", "touch a.txt"};
  auto other = run;
  other.body = {"Bash command", "rm -rf build"};
  EXPECT_NE(StateFeed::questionID(run), StateFeed::questionID(other));
  auto same = run;
  same.cursor = 2;
  EXPECT_EQ(StateFeed::questionID(run), StateFeed::questionID(same));
}

TEST(QuestionID, TwoCommandsOfOneReplyAreTwoQuestions) {
  // The real agent asks for two shell commands of one reply in turn, with the same
  // question, options and description; only the command differs.
  auto first = fixture("perm-two-1.txt");
  auto second = fixture("perm-two-2.txt");
  ASSERT_EQ(first.question, second.question);
  ASSERT_EQ(first.options.size(), second.options.size());
  for (size_t i = 0; i < first.options.size(); ++i)
    ASSERT_EQ(first.options[i].label, second.options[i].label);
  EXPECT_NE(StateFeed::questionID(first), StateFeed::questionID(second));
  EXPECT_EQ(StateFeed::kind(second), "permission");
  EXPECT_EQ(StateFeed::gate("permission", second), "orlen-click");
}

TEST(Kind, RealScreensReadAsTheirNotesSay) {
  auto single = fixture("ask-single.txt");
  EXPECT_EQ(StateFeed::kind(single), "ask");
  EXPECT_EQ(StateFeed::gate("ask", single), "routine");
  auto multi = fixture("ask-multi.txt");
  EXPECT_EQ(StateFeed::kind(multi), "ask");
  EXPECT_EQ(StateFeed::gate("ask", multi), "orlen");  // "merge"
  auto port = fixture("ask-two-2.txt");
  EXPECT_EQ(StateFeed::gate(StateFeed::kind(port), port), "routine");
  // A shell step, a file edit, a new file and a fetch: each asks in words of its own.
  for (const char* name :
       {"perm-bash.txt", "perm-bash-long.txt", "perm-edit.txt", "perm-write.txt", "perm-fetch.txt"}) {
    auto perm = fixture(name);
    EXPECT_EQ(StateFeed::kind(perm), "permission") << name;
    EXPECT_EQ(StateFeed::gate("permission", perm), "orlen-click") << name;
  }
  // The plan approvals offer no "keep planning" row: their heading names them.
  for (const char* name : {"plan-approval.txt", "plan-approval-bare.txt"}) {
    auto plan = fixture(name);
    EXPECT_EQ(StateFeed::kind(plan), "plan") << name;
    EXPECT_EQ(StateFeed::gate(StateFeed::kind(plan), plan), "orlen-click") << name;
  }
}

TEST(Kind, PermissionPlanAndReview) {
  auto plan =
      prompt("Would you like to proceed?", {"Yes, and auto-accept edits", "No, keep planning"});
  EXPECT_EQ(StateFeed::kind(plan), "plan");
  EXPECT_EQ(StateFeed::gate("plan", plan), "orlen-click");

  auto review = prompt("Review your answers", {"Submit answers", "Cancel"});
  review.review = true;
  EXPECT_EQ(StateFeed::kind(review), "review");

  EXPECT_EQ(StateFeed::kind(prompt("Do you want to make this edit to a.txt?", {"Yes", "No"})),
            "permission");
  EXPECT_EQ(StateFeed::kind(prompt("Fetch example.com?", {"Yes", "Yes, allow all fetches", "No"})),
            "permission");
  EXPECT_EQ(StateFeed::kind(prompt("Run it?", {"Yes", "Yes, and don't ask again", "No"})),
            "permission");
  // A form with check boxes is the agent's own question whatever its words.
  EXPECT_EQ(StateFeed::kind(prompt("Which permission model?", {"☐ Roles", "☐ Lists", "✔ Submit"})),
            "ask");
  EXPECT_EQ(StateFeed::kind(prompt("Which colour?", {"Blue", "Green"})), "ask");
}

TEST(Gate, OwnerWordsInTheQuestionOrLabels) {
  auto gateOf = [](const std::string& q, const std::vector<std::string>& labels) {
    auto p = prompt(q, labels);
    return StateFeed::gate(StateFeed::kind(p), p);
  };
  EXPECT_EQ(gateOf("Should I deploy now?", {"Yes", "Later"}), "orlen");
  EXPECT_EQ(gateOf("Which plan?", {"Basic", "Pro at $20"}), "orlen");
  EXPECT_EQ(gateOf("לשלוח את המייל ללקוח?", {"כן", "לא"}), "orlen");
  EXPECT_EQ(gateOf("Which tab width?", {"2", "4"}), "routine");
  // Words listed with a blank after them only count before a blank.
  EXPECT_EQ(gateOf("Use prod settings?", {"Yes", "No"}), "orlen");
  EXPECT_EQ(gateOf("Use the prodigy helper?", {"Yes", "No"}), "routine");
  EXPECT_EQ(gateOf("Should I drop the table?", {"Yes", "No"}), "orlen");
  EXPECT_EQ(gateOf("Which dropdown?", {"Left", "Right"}), "routine");
  EXPECT_EQ(gateOf("Which layout?", {"Post list", "Grid"}), "orlen");
  EXPECT_EQ(gateOf("Which layout?", {"Postgres", "Grid"}), "routine");
}
