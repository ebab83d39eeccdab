#pragma once
// The catalogue of slash commands the composer offers and the book view lists: the
// agent's built-in commands, then the user's command files, skills and custom agents.

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

struct Command {
  std::string name;          ///< without the leading "/"
  std::string hint;          ///< one line; may be empty
  std::string kind;          ///< the source as a display word in the interface language
  bool interactive = false;  ///< the bare command opens a picker or screen in the terminal
};

namespace Commands {

/// Where a command comes from.
enum class Source { builtIn, commandFile, skill, agent };

/// The source's display word in the interface language ("built-in" / "מובנית", …).
std::string kindWord(Source source);

/// The agent's built-in commands, in the order the catalogue lists them.
const std::vector<Command>& builtIns();

/// The merged catalogue, rebuilt at most once a minute. Any thread.
std::vector<Command> all();
/// `all()` as the page's setCommands list: {"name", "hint", "kind", "interactive"}.
nlohmann::json payload();

/// Whether sending this text to a terminal opens a picker there: only a bare command
/// (no arguments) whose first match in the catalogue is interactive.
bool opensPicker(const std::string& text);

/// The "description:" of a Markdown file with front matter, from its first 4000 bytes
/// ("" when the file cannot be read or has none).
std::string frontMatter(const std::string& file);
/// The same rule over text already read.
std::string descriptionIn(const std::string& text);

}  // namespace Commands
