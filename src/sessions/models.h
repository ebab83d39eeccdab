#pragma once
// How many tokens of context each of the agent's models holds. The transcript names the
// model as the API answered ("claude-sonnet-4-6", dated "claude-sonnet-4-5-20250929"),
// never the "[1m]" variant the user chose; that choice shows in how the agent was started
// ("--model sonnet[1m]"), or in a context larger than the model's own window.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Models {

inline constexpr int64_t kStandardWindow = 200000;
inline constexpr int64_t kLongWindow = 1000000;

/// The model id without its date, its "[1m]" tag, its provider's prefix and version
/// suffix, in lower case: "us.anthropic.claude-opus-4-1-20250805-v1:0" → "claude-opus-4-1".
std::string canonical(std::string_view model);

/// The context window of a session on `model` (as its transcript names it), started with
/// `chosen` (its "--model" argument, "" when none), now holding `tokens`. A "[1m]" variant
/// holds a million; so does a session already past its model's own window, which can only
/// be running that variant. A model not known here is taken for a million, as the newer
/// families all are.
int64_t window(std::string_view model, std::string_view chosen = {}, int64_t tokens = 0);

/// The value of "--model" in an agent's command line ("" when it has none).
std::string chosenIn(const std::vector<std::string>& words);

}  // namespace Models
