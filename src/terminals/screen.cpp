// Reading the agent's prompts off its terminal's screen. Everything here works on plain
// text, relying on how the agent draws: box-drawing borders, a footer of key hints,
// numbered options, the marker "❯" on the selected row, check boxes in brackets, and
// "●" (Linux) or "⏺" (macOS) in front of each of its messages.

#include <re2/re2.h>

#include <algorithm>
#include <deque>
#include <mutex>

#include "base/caches.h"
#include "base/clock.h"
#include "base/lang.h"
#include "base/text.h"
#include "sessions/questions.h"
#include "terminals/discover.h"
#include "terminals/host.h"
#include "terminals/on_scan.h"
#include "terminals/picker.h"

namespace Terminals {
namespace {

// How far each scan looks, in screen lines.
constexpr int kOptionReach = 60;
constexpr int kContextReach = 300;
constexpr int kBodyReach = 300;  // a tall pane shows a long change whole above its question
constexpr int kTopReach = 5;
constexpr size_t kQuestionChars = 400;
constexpr size_t kContextChars = 2500;
// A body line is what the owner approves (a command, a path, an address), so it is kept
// whole: tmux joins the rows the terminal wrapped, and a long address is one line.
constexpr size_t kBodyLineChars = 16000;
constexpr double kDumpReuse = 1.5;
constexpr int kSettleReadings = 8;    // readings after the first, for two that agree
constexpr double kSettleGap = 0.25;  // seconds between them

const std::vector<std::string_view> kBoxChars = {"─", "━", "│", "┃", "┌", "┐", "└",
                                                 "┘", "├", "┤", "┬", "┴", "┼", "╭",
                                                 "╮", "╰", "╯", "═", "║", " ", "\t"};
const std::vector<std::string_view> kMarkerChars = {"❯", "➤", ">", " "};
const std::vector<std::string_view> kMessageMarks = {"⏺", "●"};

std::string trimChars(std::string_view s, const std::vector<std::string_view>& set) {
  bool again = true;
  while (again && !s.empty()) {
    again = false;
    for (auto c : set) {
      if (Text::startsWith(s, c)) {
        s.remove_prefix(c.size());
        again = true;
      }
      if (!s.empty() && Text::endsWith(s, c)) {
        s.remove_suffix(c.size());
        again = true;
      }
    }
  }
  return std::string(s);
}

std::string trimBox(std::string_view s) {
  return trimChars(s, kBoxChars);
}
std::string trimMarkers(std::string_view s) {
  return trimChars(s, kMarkerChars);
}
bool isBorder(std::string_view line) {
  return Text::contains(line, "────");
}
bool blank(std::string_view line) {
  return Text::trimBlanks(line).empty();
}

// A line drawn only of box-drawing characters (U+2500–U+257F), such as the dashed rule
// the agent puts around a command it asks about.
bool onlyRule(std::string_view s) {
  std::string t = Text::trimBlanks(s);
  if (t.empty()) return false;
  for (size_t i = 0; i < t.size(); i += 3) {
    if (i + 3 > t.size()) return false;
    auto b0 = static_cast<unsigned char>(t[i]), b1 = static_cast<unsigned char>(t[i + 1]);
    if (b0 != 0xE2 || (b1 != 0x94 && b1 != 0x95)) return false;
  }
  return true;
}

int toInt(const std::string& s, int fallback) {
  std::string t = Text::startsWith(s, "+") ? s.substr(1) : s;
  long long n = 0;
  if (!Text::parseInt(t, n) || n < -1000000 || n > 1000000) return fallback;
  return static_cast<int>(n);
}

// "12. rest" → number "12" and the rest after the full stop. The full stop must be among
// the first three characters and everything before it a digit.
bool splitOption(const std::string& text, std::string& number, std::string& rest) {
  size_t dot = text.find('.');
  if (dot == std::string::npos || dot == 0 || dot > 2) return false;
  for (size_t i = 0; i < dot; ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  number = text.substr(0, dot);
  rest = text.substr(dot + 1);
  return true;
}

std::string cut(const std::string& s, size_t chars) {
  return Text::prefix(s, chars);
}

struct OptionScan {
  std::vector<Option> options;
  int cursor = 1;
  int freeRow = 0;
  bool multi = false;
  std::set<std::string> checked;
  std::string question;
  int questionLine = -1;
  int topLine = 0;
  bool reachedOne = false;
  // What a prompt without a footer is judged by.
  bool markerOnRow = false;  // "❯" on a numbered row
  bool interrupted = false;  // a border, a bare marker or a gap inside the rows
  std::vector<int> numbers;  // every row number met, bottom up
};

// Options upwards from line k (exclusive), then the question above option 1.
OptionScan scanOptions(const std::vector<std::string>& lines, int k) {
  static const RE2 checkBox("^\\[[^\\]]{0,2}\\] *");
  OptionScan scan;
  const int limit = std::max(k - kOptionReach, 0);
  std::vector<std::string> pending;  // detail lines, bottom up
  bool submitMarked = false;
  int oneLine = -1;
  for (int i = k - 1; i >= limit; --i) {
    const std::string& raw = lines[static_cast<size_t>(i)];
    std::string text = trimMarkers(trimBox(raw));
    if (text.empty()) {
      if (!blank(raw) || !scan.numbers.empty() || !pending.empty()) scan.interrupted = true;
      continue;
    }
    if (isBorder(raw)) scan.interrupted = true;
    std::string number, rest;
    if (!splitOption(text, number, rest)) {
      // The agent's multiple choice has an unnumbered "Submit" row after the last one;
      // the marker on it means the cursor sits past the last numbered row.
      if (text == "Submit" && Text::contains(raw, "❯")) submitMarked = true;
      pending.push_back(Text::trimBlanks(text));
      continue;
    }
    rest = Text::trimBlanks(rest);
    re2::StringPiece afterBox(rest);
    if (RE2::Consume(&afterBox, checkBox)) {
      std::string inside = rest.substr(1, rest.find(']') - 1);
      if (inside.find_first_not_of("[] ") != std::string::npos) scan.checked.insert(number);
      rest = std::string(afterBox);
      scan.multi = true;
    }
    if (Text::contains(raw, "❯")) {
      scan.cursor = toInt(number, 1);
      scan.markerOnRow = true;
    }
    if (Text::startsWith(rest, "Type something") ||
        Text::startsWith(rest, "Tell Claude what to change")) {
      scan.freeRow = toInt(number, 0);
    } else if (!Text::startsWith(rest, "Chat about this")) {
      std::vector<std::string> detail(pending.rbegin(), pending.rend());
      scan.options.push_back({number, rest, Text::join(detail, " ")});
    }
    scan.numbers.push_back(toInt(number, -1));
    if (number == "1") {
      scan.reachedOne = true;
      oneLine = i;
      break;
    }
    pending.clear();
  }
  std::reverse(scan.options.begin(), scan.options.end());

  if (submitMarked && scan.multi) {
    int last = scan.freeRow;
    if (last == 0)
      for (const auto& o : scan.options) last = std::max(last, toInt(o.n, 0));
    scan.cursor = last + 1;
  }

  if (!scan.reachedOne) {
    scan.topLine = k;
    return scan;
  }

  int first = oneLine;
  for (int i = oneLine - 1; i >= limit; --i) {
    std::string t = trimBox(lines[static_cast<size_t>(i)]);
    if (t.empty() || Text::startsWith(t, "❯") || Text::length(t) < 2) continue;
    scan.questionLine = i;
    scan.question = t;
    first = i;
    for (int j = i - 1; j >= std::max(i - 2, limit); --j) {
      const std::string& above = lines[static_cast<size_t>(j)];
      if (blank(above)) break;
      bool stop = false;
      for (const char* edge : {"─", "╌", "☐", "☒", "✔", "←"})
        if (Text::contains(above, edge)) stop = true;
      if (stop) break;
      scan.question = trimBox(above) + " " + scan.question;
      first = j;
    }
    scan.question = cut(scan.question, kQuestionChars);
    break;
  }
  scan.topLine = first;
  for (int j = first - 1; j >= std::max(first - kTopReach, limit); --j) {
    if (isBorder(lines[static_cast<size_t>(j)])) {
      scan.topLine = j;
      break;
    }
  }
  return scan;
}

bool toolCall(const std::string& firstLine) {
  static const RE2 call("^[A-Za-z_][A-Za-z0-9_ .:-]*\\(");
  if (RE2::PartialMatch(firstLine, call)) return true;
  for (const char* p : {"Agent \"", "Remote Control", "Update(", "Read("})
    if (Text::startsWith(firstLine, p)) return true;
  return false;
}

// The agent's last words above the prompt: up to two of its messages, tool calls left out.
std::string scrapeContext(const std::vector<std::string>& lines, int top) {
  static const RE2 summary("^(Read|Called|Ran|ran|Wrote|Searched|Listed|Edited|Updated) [0-9]");
  static const RE2 manyBreaks("\n\n\n+");
  std::deque<std::string> block, messages;
  bool pastTop = false;
  int i = std::min(static_cast<int>(lines.size()), top) - 1;
  for (int steps = 0;; ++steps, --i) {
    if (i < 0) {
      pastTop = true;
      break;
    }
    if (steps >= kContextReach || messages.size() >= 2) break;
    const std::string& raw = lines[static_cast<size_t>(i)];
    if (Text::startsWith(raw, "❯ ")) break;  // the user's previous prompt
    std::string s = Text::trimBlanks(raw);
    auto mark = std::find_if(kMessageMarks.begin(), kMessageMarks.end(),
                             [&](std::string_view m) { return Text::startsWith(s, m); });
    if (mark != kMessageMarks.end()) {
      block.push_front(Text::trimBlanks(s.substr(mark->size())));
      while (!block.empty() && block.back().empty()) block.pop_back();
      if (!block.empty() && !toolCall(block.front()))
        messages.push_front(Text::join(std::vector<std::string>(block.begin(), block.end()), "\n"));
      block.clear();
    } else if (s.empty()) {
      if (!block.empty()) block.push_front("");
    } else if (Text::startsWith(s, "›") || Text::startsWith(s, "─") ||
               RE2::PartialMatch(s, summary)) {
      continue;
    } else if (Text::startsWith(raw, "  ") && !Text::startsWith(s, "⎿") &&
               !Text::startsWith(s, "Called ") && !Text::startsWith(s, "…")) {
      block.push_front(s);  // a message's continuation line
    } else {
      block.clear();
    }
  }
  if (messages.empty() && pastTop && !block.empty())
    messages.push_back("… " +
                       Text::join(std::vector<std::string>(block.begin(), block.end()), "\n"));
  std::string context =
      Text::join(std::vector<std::string>(messages.begin(), messages.end()), "\n\n");
  RE2::GlobalReplace(&context, manyBreaks, "\n\n");
  return cut(Text::trim(context), kContextChars);
}

// The lines between the prompt box's top border and the question: for a permission
// request, the command or change being approved.
std::vector<std::string> scrapeBody(const std::vector<std::string>& lines, int question) {
  std::vector<std::string> body;
  if (question < 1) return body;
  int border = -1;
  for (int i = question - 1; i >= std::max(question - kBodyReach, 0); --i) {
    if (isBorder(lines[static_cast<size_t>(i)])) {
      border = i;
      break;
    }
  }
  if (border < 0) return body;
  for (int i = border + 1; i < question; ++i) {
    std::string t = Text::trimBlanks(lines[static_cast<size_t>(i)]);
    // The dashed rules around a command are drawing, not content.
    if (t.empty() || onlyRule(t)) continue;
    body.push_back(cut(t, kBodyLineChars));
  }
  return body;
}

// Numbered rows under a review screen's heading; they end at the first other line.
struct ReviewRows {
  std::vector<Option> options;
  int cursor = 1;
  int last = -1;  // line of the last option row
};

ReviewRows reviewRows(const std::vector<std::string>& lines, int from, int count) {
  ReviewRows rows;
  for (int i = from; i < std::min(from + count, static_cast<int>(lines.size())); ++i) {
    const std::string& raw = lines[static_cast<size_t>(i)];
    std::string t = trimMarkers(Text::trimBlanks(raw));
    if (t.empty()) continue;
    std::string number, rest;
    if (!splitOption(t, number, rest)) break;
    rows.options.push_back({number, Text::trimBlanks(rest), ""});
    if (Text::contains(raw, "❯")) rows.cursor = toInt(number, 1);
    rows.last = i;
  }
  return rows;
}

int lastStarting(const std::vector<std::string>& lines, std::string_view prefix, int from) {
  for (int i = from; i >= 0; --i)
    if (Text::startsWith(Text::trimBlanks(lines[static_cast<size_t>(i)]), prefix)) return i;
  return -1;
}

// The review screen of a multi-question form. The agent draws either a "Ready to submit
// your answers?" line over the rows, or (as it does on Linux) only the heading "Review
// your answers", the answers, and the rows.
std::optional<Picker> scrapeReview(const std::vector<std::string>& lines, const std::string& tty) {
  const int n = static_cast<int>(lines.size());
  int ready = lastStarting(lines, "Ready to submit your answers", n - 1);
  int heading = -1;
  ReviewRows rows;
  int below;  // the line under which nothing much may follow
  if (ready >= 0) {
    rows = reviewRows(lines, ready + 1, 5);
    below = rows.last >= 0 ? rows.last : ready;
    heading = lastStarting(lines, "Review your answers", ready - 1);
  } else {
    heading = lastStarting(lines, "Review your answers", n - 1);
    if (heading < 0) return std::nullopt;
    int first = -1;
    for (int i = heading + 1; i < std::min(n, heading + 1 + kOptionReach); ++i) {
      std::string number, rest;
      if (splitOption(trimMarkers(Text::trimBlanks(lines[static_cast<size_t>(i)])), number, rest)) {
        first = i;
        break;
      }
    }
    if (first < 0) return std::nullopt;
    rows = reviewRows(lines, first, 5);
    below = rows.last;
    ready = first;  // the summary ends above the first row
  }
  int after = 0;
  for (int i = below + 1; i < n; ++i)
    if (!blank(lines[static_cast<size_t>(i)])) ++after;
  if (after > 3 || rows.options.empty()) return std::nullopt;
  bool submit = std::any_of(rows.options.begin(), rows.options.end(), [](const Option& o) {
    return Text::startsWith(Text::lower(o.label), "submit");
  });
  if (!submit) return std::nullopt;

  std::vector<std::string> summary;
  if (heading >= 0)
    for (int i = heading + 1; i < ready; ++i) {
      std::string t = Text::trim(lines[static_cast<size_t>(i)]);
      if (!t.empty()) summary.push_back(t);
    }
  Picker p;
  p.tty = tty;
  p.question = Lang::pick("Ready to submit your answers?", "לשלוח את התשובות?");
  p.options = rows.options;
  p.cursor = rows.cursor;
  p.review = true;
  p.context = Text::join(summary, "\n");
  return p;
}

bool footerLine(const std::vector<std::string>& lines, size_t i) {
  static const RE2 spaces(" +");
  std::string probe = lines[i];
  if (i + 1 < lines.size()) probe += " " + lines[i + 1];
  RE2::GlobalReplace(&probe, spaces, " ");
  probe = Text::lower(probe);
  if (Text::contains(probe, "ctrl+g to edit")) return true;
  if (!Text::contains(probe, "esc to cancel") && !Text::contains(probe, "esc to exit"))
    return false;
  for (const char* hint : {"enter to", "navigate", "tab to amend", "·"})
    if (Text::contains(probe, hint)) return true;
  return false;
}

// The plan approval asks under a heading of its own: "Ready to code?" over the plan and a
// closing "Would you like to proceed?", or, with no plan to show, "Exit plan mode?" over a
// line of explanation. The heading is what is asked; the lines under it are the body. It
// is looked for above the question up to the agent's last message or the user's prompt,
// which lie outside the prompt.
int planHeading(const std::vector<std::string>& lines, int question) {
  for (int i = question - 1; i >= std::max(question - kOptionReach, 0); --i) {
    const std::string& raw = lines[static_cast<size_t>(i)];
    std::string t = Text::trimBlanks(raw);
    if (Text::startsWith(raw, "❯ ") ||
        std::any_of(kMessageMarks.begin(), kMessageMarks.end(),
                    [&](std::string_view m) { return Text::startsWith(t, m); }))
      return -1;
    std::string lowered = Text::lower(trimBox(raw));
    if (Text::startsWith(lowered, "ready to code") || Text::startsWith(lowered, "exit plan mode"))
      return i;
  }
  return -1;
}

Picker assemble(const std::vector<std::string>& lines, const std::string& tty,
                const OptionScan& scan) {
  Picker p;
  p.tty = tty;
  p.question = scan.question;
  p.options = scan.options;
  p.cursor = scan.cursor;
  p.freeRow = scan.freeRow;
  p.multi = scan.multi;
  p.checked = scan.checked;
  int heading = scan.questionLine > 0 ? planHeading(lines, scan.questionLine) : -1;
  if (heading < 0) {
    p.context = scrapeContext(lines, scan.topLine);
    p.body = scrapeBody(lines, scan.questionLine);
    return p;
  }
  p.question = cut(trimBox(lines[static_cast<size_t>(heading)]), kQuestionChars);
  for (int i = heading + 1; i < scan.questionLine; ++i) {
    const std::string& raw = lines[static_cast<size_t>(i)];
    std::string t = Text::trimBlanks(raw);
    if (t.empty() || onlyRule(t)) continue;
    p.body.push_back(cut(t, kBodyLineChars));
  }
  if (!scan.question.empty()) p.body.push_back(cut(scan.question, kBodyLineChars));
  int top = heading;
  for (int j = heading - 1; j >= std::max(heading - kTopReach, 0); --j)
    if (isBorder(lines[static_cast<size_t>(j)])) {
      top = j;
      break;
    }
  p.context = scrapeContext(lines, top);
  return p;
}

// The rule the agent closes a named session's prompt with: "──── name ─".
bool nameRule(std::string_view line) {
  std::string t = Text::trimBlanks(line);
  return isBorder(t) && Text::startsWith(t, "─") && Text::endsWith(t, "─") && !trimBox(t).empty();
}

// A prompt the agent draws without a footer (the plan approval, some permission
// requests): numbered rows from 1 up, one of them carrying "❯", ending the screen (or
// above the rule naming the session), under a question. Its own input box and ordinary
// output never pass: the box is drawn between borders, and output has no marked row at
// the bottom.
std::optional<Picker> scrapeBare(const std::vector<std::string>& lines, const std::string& tty) {
  int last = static_cast<int>(lines.size()) - 1;
  while (last >= 0 && blank(lines[static_cast<size_t>(last)])) --last;
  if (last >= 0 && nameRule(lines[static_cast<size_t>(last)])) {
    --last;
    while (last >= 0 && blank(lines[static_cast<size_t>(last)])) --last;
  }
  if (last < 0) return std::nullopt;
  OptionScan scan = scanOptions(lines, last + 1);
  if (!scan.reachedOne || scan.interrupted || !scan.markerOnRow || scan.question.empty())
    return std::nullopt;
  if (scan.numbers.size() < 2) return std::nullopt;
  for (size_t i = 0; i < scan.numbers.size(); ++i)
    if (scan.numbers[i] != static_cast<int>(scan.numbers.size() - i)) return std::nullopt;
  if (scan.options.empty()) return std::nullopt;
  return assemble(lines, tty, scan);
}

std::mutex screensLock;
std::vector<Picker> cache;
Clock::Time stamp = Clock::kDistantPast;
bool works = false;
std::set<std::string> ttys;
std::map<std::string, int64_t> ids;

// An option label too long for the pane is continued on the row below, where it reads as
// the start of the option's description. The question the session's transcript holds open
// has the labels whole. The terminals are the last discovered ones: a screen pass never
// runs a discovery of its own.
void completeFromTranscripts(std::vector<Picker>& list) {
  std::optional<std::vector<Terminal>> terms;
  for (auto& p : list) {
    bool described = std::any_of(p.options.begin(), p.options.end(),
                                 [](const Option& o) { return !o.detail.empty(); });
    if (!described) continue;
    if (!terms) terms = cached();
    auto t = std::find_if(terms->begin(), terms->end(),
                          [&](const Terminal& x) { return x.tty == p.tty; });
    if (t == terms->end() || t->sessionID.empty()) continue;
    auto question = Questions::pending(t->sessionID);
    if (!question || question->kind != "ask") continue;
    std::vector<std::string> labels;
    for (const auto& part : question->parts)
      for (const auto& c : part.choices) labels.push_back(c.label);
    p = completeLabels(std::move(p), labels);
  }
}

std::optional<Picker> pickerOf(const std::vector<Picker>& list, const std::string& tty) {
  for (const auto& p : list)
    if (p.tty == tty) return p;
  return std::nullopt;
}

}  // namespace

std::optional<Picker> parsePicker(const std::vector<std::string>& lines, const std::string& tty) {
  if (auto review = scrapeReview(lines, tty)) return review;

  int footer = -1;
  for (int i = static_cast<int>(lines.size()) - 1; i >= 0; --i) {
    if (footerLine(lines, static_cast<size_t>(i))) {
      footer = i;
      break;
    }
  }
  if (footer >= 0) {
    int below = 0;
    for (size_t i = static_cast<size_t>(footer) + 1; i < lines.size(); ++i)
      if (!blank(lines[i])) ++below;
    // Four or more lines under the footer: the prompt has scrolled up and is history.
    if (below < 4) {
      OptionScan scan = scanOptions(lines, footer);
      if (!scan.options.empty()) return assemble(lines, tty, scan);
    }
  }
  return scrapeBare(lines, tty);
}

std::optional<Picker> parseScreen(const std::string& text, const std::string& tty) {
  return parsePicker(Text::split(text, '\n', false), tty);
}

std::string signature(const Picker& picker) {
  std::vector<std::string> labels;
  for (const auto& o : picker.options) labels.push_back(o.label);
  return std::string(picker.review ? "R|" : "Q|") + picker.question + "|" + Text::join(labels, "|");
}

std::string promptKey(const Picker& picker) {
  std::string key = signature(picker);
  // Review screens of different forms look alike; what was answered tells them apart.
  if (picker.review) key += "|" + picker.context;
  // Permission prompts and plan approvals ask the same question with the same options each
  // time; only the command or plan above them says which one this is.
  for (const auto& line : picker.body) key += "\n" + line;
  return key;
}

PickerScan pickers(bool fresh) {
  if (!fresh) {
    std::lock_guard<std::mutex> guard(screensLock);
    if (Clock::now() - stamp < kDumpReuse) return {cache, works};
  }
  auto screens = host().screens();
  if (!screens) {
    std::lock_guard<std::mutex> guard(screensLock);
    stamp = Clock::now();
    cache.clear();
    works = false;
    return {};
  }
  PickerScan scan;
  scan.readable = true;
  std::set<std::string> seen;
  std::map<std::string, int64_t> windows;
  for (const auto& s : *screens) {
    if (!Text::startsWith(s.tty, "/dev/")) continue;
    seen.insert(s.tty);
    if (s.window) windows[s.tty] = *s.window;
    if (auto p = parseScreen(s.text, s.tty)) scan.list.push_back(std::move(*p));
  }
  completeFromTranscripts(scan.list);
  {
    std::lock_guard<std::mutex> guard(screensLock);
    stamp = Clock::now();
    cache = scan.list;
    works = true;
    ttys = std::move(seen);
    ids = std::move(windows);
  }
  runOnScan();
  return scan;
}

PickerScan lastPickers() {
  std::lock_guard<std::mutex> guard(screensLock);
  return {cache, works};
}

std::set<std::string> pickerTTYs() {
  std::lock_guard<std::mutex> guard(screensLock);
  return ttys;
}

std::map<std::string, int64_t> windowIDs() {
  std::lock_guard<std::mutex> guard(screensLock);
  return ids;
}

const Caches::Enrolled screensEnrolled(
    "screens",
    [] {
      std::lock_guard<std::mutex> guard(screensLock);
      cache.clear();
      stamp = Clock::kDistantPast;
      works = false;
      ttys.clear();
      ids.clear();
    },
    [] {
      std::lock_guard<std::mutex> guard(screensLock);
      return cache.size() + ttys.size() + ids.size() + (stamp > Clock::kDistantPast ? 1 : 0);
    });

StableReading stablePicker(const std::string& tty, const std::function<bool(const Picker&)>& want) {
  std::optional<Picker> previous = pickerOf(pickers(true).list, tty);
  bool agreed = false;
  for (int i = 0; i < kSettleReadings; ++i) {
    Clock::sleep(kSettleGap);
    PickerScan scan = pickers(true);
    std::optional<Picker> current = pickerOf(scan.list, tty);
    if (!scan.readable) return {std::nullopt, false};
    if (!pickerTTYs().count(tty)) return {current, false};  // its window is not visible
    agreed = previous && current && promptKey(*previous) == promptKey(*current) &&
             previous->cursor == current->cursor;
    if (agreed && (!want || want(*current))) return {current, true};
    // A screen without a prompt twice in a row is a settled answer too: nothing is open.
    if (!previous && !current) return {std::nullopt, true};
    previous = current;
  }
  // The same prompt at the end, only not the one wanted: the caller tells why.
  if (agreed) return {previous, true};
  // Readings that never agreed decide nothing: the last of them is no better than the first.
  StableReading unsettled;
  unsettled.seen = true;
  unsettled.settled = false;
  return unsettled;
}

namespace {
// Where `continued` begins `detail` when spaces are ignored: the byte just after it.
std::optional<size_t> afterPrefix(const std::string& detail, const std::string& continued) {
  size_t d = 0;
  for (char c : continued) {
    if (c == ' ') continue;
    while (d < detail.size() && detail[d] == ' ') ++d;
    if (d >= detail.size() || detail[d] != c) return std::nullopt;
    ++d;
  }
  return d;
}
}  // namespace

Picker completeLabels(Picker picker, const std::vector<std::string>& fullLabels) {
  for (auto& o : picker.options) {
    if (o.label.empty() ||
        std::find(fullLabels.begin(), fullLabels.end(), o.label) != fullLabels.end())
      continue;
    for (const auto& full : fullLabels) {
      if (full.size() <= o.label.size() || !Text::startsWith(full, o.label)) continue;
      // The rest of the label must be what the agent drew on the rows below; a longer
      // label that merely starts the same ("Yes" and "Yes, and don't ask again") is not it.
      std::string continued = Text::trimBlanks(full.substr(o.label.size()));
      auto end = afterPrefix(o.detail, continued);
      if (!end) continue;
      o.label = full;
      o.detail = Text::trimBlanks(o.detail.substr(*end));
      break;
    }
  }
  return picker;
}

}  // namespace Terminals
