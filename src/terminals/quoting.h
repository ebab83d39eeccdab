#pragma once
// Quoting for shell words. A value quoted here is read back exactly as given, whatever it
// holds.

#include <string>
#include <vector>

namespace Terminals {

/// One shell word: wrapped in single quotes, each single quote inside written '\''.
std::string shellQuote(const std::string& value);
/// A shell word left bare when it holds only letters, digits and `_./:@%+,-` (so an alias
/// still expands), otherwise quoted with `shellQuote`.
std::string shellWord(const std::string& value);
/// The words as one shell command, each through `shellWord`.
std::string shellLine(const std::vector<std::string>& words);

}  // namespace Terminals
