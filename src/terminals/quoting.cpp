#include "terminals/quoting.h"

#include "base/text.h"

namespace Terminals {

std::string shellQuote(const std::string& value) {
  return "'" + Text::replaceAll(value, "'", "'\\''") + "'";
}

std::string shellWord(const std::string& value) {
  if (value.empty()) return "''";
  for (char c : value) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 std::string_view("_./:@%+,-").find(c) != std::string_view::npos;
    if (!plain) return shellQuote(value);
  }
  return value;
}

std::string shellLine(const std::vector<std::string>& words) {
  std::vector<std::string> quoted;
  quoted.reserve(words.size());
  for (const auto& w : words) quoted.push_back(shellWord(w));
  return Text::join(quoted, " ");
}

}  // namespace Terminals
