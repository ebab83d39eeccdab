#pragma once
// The questions file: agents leave longer questions for the person in one Markdown file
// under the documents folder, one "## " section each, and the person answers from the
// page. Reading is pure; answering saves through the document writer (with its backup).

#include <cstdint>
#include <string>
#include <vector>

struct Ask {
  std::string id;       ///< between "[" and "]" at the start of the heading
  std::string urgency;  ///< one of `Asks::marks`; yellow when the heading has none
  std::string title;
  std::string asker;
  std::string since;
  std::string cost;
  std::string body;
  std::string answer;  ///< empty while unanswered
  int64_t from = 0;    ///< index of the heading line
  int64_t to = 0;      ///< index of the first line after the section
};

namespace Asks {

/// The urgency marks, most urgent first: their order is the sort order.
const std::vector<std::string>& marks();

/// ~/Documents/claude/שאלות-לאורלן.md
std::string file();

/// Every ask of the text, by urgency, ties in file order.
std::vector<Ask> parse(const std::string& text);
/// Every ask of the file; none when the file is missing or unreadable.
std::vector<Ask> all();

/// The text with the answer written into the ask's section, or why not.
struct Answered {
  std::string text;
  std::string error;  ///< empty on success
};
/// Writes `answer` under the ask's answer marker, replacing an earlier answer; every line
/// outside that answer stays as it was. The answer reads back exactly, whatever lines it
/// holds ("## …" or "---" included).
Answered answered(const std::string& text, const std::string& id, const std::string& answer);

/// Answers the ask in the file; the error text, empty on success. An unknown id or an
/// unreadable file leaves the file untouched.
std::string answer(const std::string& id, const std::string& text);

}  // namespace Asks
