#include "sessions/models.h"

#include <array>
#include <cctype>

#include "base/text.h"

namespace Models {

namespace {

// The models whose own window is 200,000 tokens (each also has a "[1m]" variant). The
// families that came after them hold a million natively.
constexpr std::array<std::string_view, 11> kStandard = {
    "claude-haiku-4-5", "claude-sonnet-4",   "claude-sonnet-4-0", "claude-sonnet-4-5",
    "claude-sonnet-4-6", "claude-opus-4",    "claude-opus-4-0",   "claude-opus-4-1",
    "claude-opus-4-5",  "claude-opus-4-6",   "claude-3",
};

bool longTagged(std::string_view model) {
  return Text::contains(Text::lower(model), "[1m]");
}

// Aliases the agent accepts for "--model": a family name alone means its newest model,
// which for every family the agent knows holds a million; only a "[1m]" tag says more.
bool sameFamily(std::string_view chosen, std::string_view model) {
  std::string c = canonical(chosen);
  std::string m = canonical(model);
  if (c.empty() || m.empty()) return false;
  if (c == m) return true;
  if (c == "opusplan") return Text::contains(m, "opus");
  return !Text::contains(c, "-") && Text::contains(m, "-" + c);
}

}  // namespace

std::string canonical(std::string_view model) {
  std::string s = Text::lower(model);
  if (auto tag = s.find("[1m]"); tag != std::string::npos) s.erase(tag, 4);
  // Bedrock and Vertex spellings: "us.anthropic.claude-…-v1:0", "claude-…@20250805".
  if (auto at = s.find('@'); at != std::string::npos) s.erase(at);
  if (auto claude = s.find("claude-"); claude != std::string::npos && claude > 0)
    s.erase(0, claude);
  if (auto v = s.rfind("-v"); v != std::string::npos && v + 2 < s.size() &&
                              std::isdigit(static_cast<unsigned char>(s[v + 2])))
    s.erase(v);
  if (auto dash = s.rfind('-'); dash != std::string::npos) {
    std::string_view tail(s.c_str() + dash + 1, s.size() - dash - 1);
    if (tail.size() == 8 && Text::allDigits(tail)) s.erase(dash);
  }
  return s;
}

int64_t window(std::string_view model, std::string_view chosen, int64_t tokens) {
  if (longTagged(model)) return kLongWindow;
  if (longTagged(chosen) && (model.empty() || sameFamily(chosen, model))) return kLongWindow;
  std::string id = canonical(model);
  bool standard = false;
  for (std::string_view known : kStandard)
    if (id == known || (known == "claude-3" && Text::startsWith(id, "claude-3-"))) standard = true;
  if (!standard) return kLongWindow;
  return tokens > kStandardWindow ? kLongWindow : kStandardWindow;
}

std::string chosenIn(const std::vector<std::string>& words) {
  for (size_t i = 0; i < words.size(); ++i) {
    if (words[i] == "--model" && i + 1 < words.size()) return words[i + 1];
    if (Text::startsWith(words[i], "--model=")) return words[i].substr(8);
  }
  return "";
}

}  // namespace Models
