// How full a conversation is depends on its model's window: most older models hold 200,000
// tokens unless their "[1m]" variant was chosen; the newer families hold a million.
#include "sessions/models.h"

#include <gtest/gtest.h>

namespace {

TEST(ModelWindow, EachModelItsOwnSpelledAnyWayTheProvidersSpellIt) {
  EXPECT_EQ(Models::canonical("claude-sonnet-4-5-20250929"), "claude-sonnet-4-5");
  EXPECT_EQ(Models::canonical("us.anthropic.claude-opus-4-1-20250805-v1:0"), "claude-opus-4-1");
  EXPECT_EQ(Models::canonical("claude-opus-4-1@20250805"), "claude-opus-4-1");
  EXPECT_EQ(Models::canonical("Claude-Sonnet-4-6[1M]"), "claude-sonnet-4-6");
  EXPECT_EQ(Models::canonical("sonnet[1m]"), "sonnet");

  for (const char* standard :
       {"claude-sonnet-4-5-20250929", "claude-sonnet-4-20250514", "claude-sonnet-4-6",
        "claude-opus-4-1-20250805", "claude-opus-4-5", "claude-opus-4-6", "claude-haiku-4-5",
        "claude-3-5-haiku-20241022", "claude-3-7-sonnet-20250219",
        "anthropic.claude-opus-4-1-20250805-v1:0"})
    EXPECT_EQ(Models::window(standard), 200000) << standard;
  for (const char* wide : {"claude-opus-4-7", "claude-opus-5-5", "claude-sonnet-5",
                           "claude-haiku-5-5", "claude-fable-5-1", "claude-mythos-5"})
    EXPECT_EQ(Models::window(wide), 1000000) << wide;
  // A model nobody has told us about is taken for the newer kind.
  EXPECT_EQ(Models::window("claude-nova-7"), 1000000);
  EXPECT_EQ(Models::window(""), 1000000);
}

TEST(ModelWindow, TheLongVariantFromTheTagTheStartOrTheSizeItself) {
  EXPECT_EQ(Models::window("claude-sonnet-4-6[1m]"), 1000000);
  // The transcript names the model without the tag; the start names the choice.
  EXPECT_EQ(Models::window("claude-sonnet-4-6", "claude-sonnet-4-6[1m]"), 1000000);
  EXPECT_EQ(Models::window("claude-sonnet-4-6", "sonnet[1m]"), 1000000);
  EXPECT_EQ(Models::window("claude-opus-4-6", "opusplan[1m]"), 1000000);
  EXPECT_EQ(Models::window("claude-sonnet-4-6", "sonnet"), 200000);
  // A tag on another model (the user switched models since) says nothing of this one.
  EXPECT_EQ(Models::window("claude-haiku-4-5-20251001", "opus[1m]"), 200000);
  EXPECT_EQ(Models::window("claude-opus-4-5", "claude-opus-4-6[1m]"), 200000);
  // A context past the model's own window can only be the long variant's.
  EXPECT_EQ(Models::window("claude-opus-4-6", "", 200000), 200000);
  EXPECT_EQ(Models::window("claude-opus-4-6", "", 200001), 1000000);
}

TEST(ModelWindow, TheChoiceIsReadFromTheCommandLine) {
  EXPECT_EQ(Models::chosenIn({"claude", "--model", "sonnet[1m]"}), "sonnet[1m]");
  EXPECT_EQ(Models::chosenIn({"claude", "--model=opus", "-c"}), "opus");
  EXPECT_EQ(Models::chosenIn({"claude", "--model"}), "");
  EXPECT_EQ(Models::chosenIn({"claude", "-p", "model"}), "");
}

}  // namespace
