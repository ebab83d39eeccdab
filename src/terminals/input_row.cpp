#include "terminals/input_row.h"

#include <vector>

#include "base/lang.h"
#include "base/text.h"
#include "terminals/host.h"

namespace Terminals {
namespace {

// The input row's own mark. Earlier prompts in the conversation are drawn with "❯" and a
// plain space, so the no-break space tells the row being typed into from history.
constexpr std::string_view kInputMark = "❯\u00a0";
constexpr std::string_view kNoBreakSpace = "\u00a0";
constexpr char kEscape = '\x1b';

// The hints the agent shows in an empty row, for a screen read without attributes (where
// they cannot be told from typed text by their dimness).
const std::vector<std::string_view> kHintStarts = {"Try \"", "Press up to edit queued messages",
                                                   "Message @", "Taking your message back"};

// One character cell as the terminal draws it.
struct Cell {
  std::string text;
  bool dim = false;
  bool reverse = false;
};

struct Attributes {
  bool dim = false;
  bool reverse = false;
};

// Applies the parameters of one SGR sequence ("0;2", "38;5;244", ""). Colour parameters
// carry sub-parameters that must not be read as attributes ("38;2;…" is no dim).
void applySgr(std::string_view params, Attributes& a) {
  std::vector<std::string> p = Text::split(params, ';', false);
  if (p.empty()) p.push_back("");
  for (size_t i = 0; i < p.size(); ++i) {
    const std::string& v = p[i];
    if (v.empty() || v == "0") {
      a = {};
    } else if (v == "2") {
      a.dim = true;
    } else if (v == "22") {
      a.dim = false;
    } else if (v == "7") {
      a.reverse = true;
    } else if (v == "27") {
      a.reverse = false;
    } else if (v == "38" || v == "48" || v == "58") {
      if (i + 1 < p.size() && p[i + 1] == "5")
        i += 2;
      else if (i + 1 < p.size() && p[i + 1] == "2")
        i += 4;
    }
  }
}

// A screen line split into cells, attribute codes and other escape sequences taken out.
std::vector<Cell> cells(std::string_view line, Attributes& a) {
  std::vector<Cell> out;
  size_t i = 0;
  while (i < line.size()) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (c == static_cast<unsigned char>(kEscape)) {
      if (i + 1 < line.size() && line[i + 1] == '[') {
        size_t end = i + 2;
        while (end < line.size() && (line[end] < 0x40 || line[end] > 0x7e)) ++end;
        if (end < line.size() && line[end] == 'm') applySgr(line.substr(i + 2, end - i - 2), a);
        i = end + 1;
      } else {
        i += 2;
      }
      continue;
    }
    if (c < 0x20 || c == 0x7f) {
      ++i;
      continue;
    }
    size_t n = c < 0x80 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
    out.push_back({std::string(line.substr(i, n)), a.dim, a.reverse});
    i += n;
  }
  return out;
}

std::string plain(const std::vector<Cell>& row) {
  std::string out;
  for (const auto& c : row) out += c.text;
  return out;
}

// The typed characters of a row: the agent draws its hint dimmed, with its first letter
// under the cursor (reversed, not dimmed); the cursor on typed text is reversed alone.
std::string typed(const std::vector<Cell>& row, size_t from) {
  std::string out;
  for (size_t i = from; i < row.size(); ++i) {
    if (row[i].dim) continue;
    if (row[i].reverse && i + 1 < row.size() && row[i + 1].dim) continue;
    out += row[i].text;
  }
  return Text::trimBlanks(Text::replaceAll(out, kNoBreakSpace, " "));
}

bool hintOnly(const std::string& text) {
  for (auto start : kHintStarts)
    if (Text::startsWith(text, start)) return true;
  return false;
}

}  // namespace

std::string typeable(std::string_view text, bool keepLineBreaks) {
  std::string valid = Text::validUtf8(text);
  std::string out;
  out.reserve(valid.size());
  for (size_t i = 0; i < valid.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(valid[i]);
    if (keepLineBreaks && (c == '\n' || c == '\r')) {
      if (c == '\r' && i + 1 < valid.size() && valid[i + 1] == '\n') ++i;
      out += '\n';
      continue;
    }
    if (c < 0x20 || c == 0x7f) continue;
    // U+0080–U+009F, the C1 controls, are two bytes: C2 80 to C2 9F.
    if (c == 0xc2 && i + 1 < valid.size() && static_cast<unsigned char>(valid[i + 1]) < 0xa0) {
      ++i;
      continue;
    }
    out += valid[i];
  }
  return out;
}

std::optional<std::string> unsentText(std::string_view screen) {
  std::vector<std::vector<Cell>> rows;
  Attributes a;
  for (const auto& line : Text::split(screen, '\n', false)) rows.push_back(cells(line, a));
  int input = -1;
  for (int i = static_cast<int>(rows.size()) - 1; i >= 0 && input < 0; --i)
    if (Text::startsWith(plain(rows[static_cast<size_t>(i)]), kInputMark)) input = i;
  if (input < 0) return std::nullopt;

  // A message of several lines continues on the rows below, down to the box's bottom rule;
  // without that rule only the row itself is known to be the box's.
  size_t first = static_cast<size_t>(input), end = first + 1;
  for (size_t i = first + 1; i < rows.size(); ++i)
    if (Text::contains(plain(rows[i]), "────")) {
      end = i;
      break;
    }
  std::vector<std::string> lines;
  for (size_t i = first; i < end; ++i) {
    std::string line = typed(rows[i], i == first ? 2 : 0);
    if (!line.empty()) lines.push_back(line);
  }
  std::string text = Text::join(lines, "\n");
  bool attributed = screen.find(kEscape) != std::string_view::npos;
  if (!attributed && hintOnly(text)) return std::string();
  return text;
}

std::optional<std::string> draftOn(const std::string& tty) {
  auto screen = host().styledScreen(tty);
  if (!screen || *screen == "<<none>>") return std::nullopt;
  return unsentText(*screen);
}

std::string unsentRefusal() {
  return Lang::pick("The terminal has unsent text; send it or clear it first",
                    "במסוף יש טקסט שלא נשלח; לשלוח אותו או לנקות אותו קודם");
}

}  // namespace Terminals
