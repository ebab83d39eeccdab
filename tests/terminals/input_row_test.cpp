// Text that Velmo types holds no keys, and the agent's input row is read for words a person
// typed and has not sent. The attributed rows are as tmux's `capture-pane -p -e` gives
// them from the real agent.

#include "terminals/input_row.h"

#include <gtest/gtest.h>

#include "base/text.h"

namespace {

std::string rule() {
  std::string out;
  for (int i = 0; i < 40; ++i) out += "─";
  return out;
}

// A screen whose input box holds `row` (everything after "❯" and the no-break space).
std::string box(const std::string& row, const std::vector<std::string>& more = {}) {
  std::vector<std::string> lines = {"❯ an earlier prompt", "", "● Sure.", "", rule(),
                                    "❯\u00a0" + row};
  lines.insert(lines.end(), more.begin(), more.end());
  lines.insert(lines.end(), {rule(), "  ⏸ manual mode on · ? for shortcuts"});
  return Text::join(lines, "\n") + "\n";
}

}  // namespace

TEST(Typeable, ControlCharactersNeverReachTheTerminal) {
  EXPECT_EQ(Terminals::typeable("/rename A\rsecond prompt"), "/rename Asecond prompt");
  EXPECT_EQ(Terminals::typeable("a\x1b[201~b\x03\x04\x7f\tc\nd"), "a[201~bcd");
  std::string nul("x\0y", 3);
  EXPECT_EQ(Terminals::typeable(nul), "xy");
  // C1 controls (an eight-bit CSI among them) go too; other characters stay.
  EXPECT_EQ(Terminals::typeable("a\u009b2Jb \u00a0שלום ✓"), "a2Jb \u00a0שלום ✓");
  // A stray byte is no character: it is replaced, never passed on raw.
  EXPECT_EQ(Terminals::typeable("a\x9b"
                                "b"),
            "a\uFFFD"
            "b");
}

TEST(Typeable, APastedMessageKeepsItsLineBreaksAsLineFeeds) {
  EXPECT_EQ(Terminals::typeable("one\r\ntwo\rthree\nfour", true), "one\ntwo\nthree\nfour");
  EXPECT_EQ(Terminals::typeable("a\x1b[201~\nb\t\x7f", true), "a[201~\nb");
}

TEST(UnsentText, AnEmptyRowOrTheAgentsDimHintIsNothing) {
  EXPECT_EQ(Terminals::unsentText(box("")), "");
  // The cursor alone on an empty row.
  EXPECT_EQ(Terminals::unsentText(box("\x1b[7m \x1b[0m\x1b[39m\x1b[49m")), "");
  // The hint's first letter sits under the cursor, the rest is dim.
  EXPECT_EQ(Terminals::unsentText(box("\x1b[7mP\x1b[0;2m\x1b[39m\x1b[49mress up to edit queued "
                                      "messages\x1b[0m")),
            "");
  // Without attributes a hint is known by its words.
  EXPECT_EQ(Terminals::unsentText(box("Try \"refactor <filepath>\"")), "");
}

TEST(UnsentText, TypedWordsAreADraftWhereverTheCursorIs) {
  EXPECT_EQ(Terminals::unsentText(box("half typed draft")), "half typed draft");
  EXPECT_EQ(Terminals::unsentText(box("\x1b[39mhalf typed draft\x1b[7m \x1b[0m")),
            "half typed draft");
  EXPECT_EQ(Terminals::unsentText(box("a\x1b[7mb\x1b[0m\x1b[39m\x1b[49mc")), "abc");
  // One letter under the cursor is still a draft; a colour given in RGB is no dimming.
  EXPECT_EQ(Terminals::unsentText(box("\x1b[7mx\x1b[0m")), "x");
  EXPECT_EQ(Terminals::unsentText(box("\x1b[38;2;2;2;2mgrey words\x1b[39m")), "grey words");
  // Words the agent suggests after typed text are dim, and not the person's.
  EXPECT_EQ(Terminals::unsentText(box("/he\x1b[2mlp\x1b[0m")), "/he");
  // A draft over several lines runs down to the box's bottom rule.
  EXPECT_EQ(Terminals::unsentText(box("first line", {"  second line"})), "first line\nsecond line");
}

TEST(UnsentText, NoInputRowIsNoReading) {
  // A picker covers the box; its marker row has a plain space, as earlier prompts do.
  std::string picker =
      Text::join({"❯ an earlier prompt", rule(), "Which colour?", "", "❯ 1. Blue", "  2. Green", "",
                  "Enter to select · ↑/↓ to navigate · Esc to cancel"},
                 "\n");
  EXPECT_EQ(Terminals::unsentText(picker), std::nullopt);
  EXPECT_EQ(Terminals::unsentText("$ ls\nfile\n"), std::nullopt);
  // The last input row is the live one; without a bottom rule only that row counts.
  EXPECT_EQ(Terminals::unsentText("❯\u00a0old\n● reply\n❯\u00a0new\n  ⏸ manual mode on\n"),
            "new");
}
