#include "library/asks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <optional>
#include <thread>

#include "base/files.h"
#include "base/lang.h"
#include "base/paths.h"
#include "base/sha256.h"
#include "base/stores.h"
#include "base/text.h"
#include "library/documents.h"

// Answers are written as a quoted block ("> " before every line) under the marker. A line
// the person typed that reads "## x" or "---" would otherwise open a new section or end the
// answer, and the answer would not read back as typed. A block whose every line is quoted
// is read back without the quotes; an answer written by hand in plain lines reads as it is.
namespace Asks {

namespace {

constexpr int64_t kMostBytes = int64_t{8} * 1024 * 1024;

const char* answerMarker() {
  return Lang::pick("**Answer:**", "**תשובה:**");
}

// The rest of the line after an answer marker, or no value when the line is not one.
std::optional<std::string> afterAnswerMarker(const std::string& line) {
  const char* plain = Lang::pick("Answer:", "תשובה:");
  for (const std::string& marker : {std::string(answerMarker()), std::string(plain)})
    if (Text::startsWith(line, marker)) return line.substr(marker.size());
  return std::nullopt;
}

std::optional<std::string> after(const std::string& line, const std::string& label) {
  if (!Text::startsWith(line, label)) return std::nullopt;
  return Text::trimBlanks(line.substr(label.size()));
}

bool endsAnswer(const std::string& line) {
  return Text::startsWith(Text::trimBlanks(line), "---");
}

bool quoted(const std::string& line) {
  return !line.empty() && line[0] == '>';
}

std::string unquote(const std::string& line) {
  if (Text::startsWith(line, "> ")) return line.substr(2);
  return line.substr(1);
}

std::string stripCR(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// The answer from its raw lines: a wholly quoted block loses its quotes.
std::string answerOf(const std::vector<std::string>& raw) {
  bool allQuoted = false;
  for (const std::string& l : raw) {
    if (Text::trim(l).empty()) continue;
    if (!quoted(l)) return Text::trim(Text::join(raw, "\n"));
    allQuoted = true;
  }
  if (!allQuoted) return Text::trim(Text::join(raw, "\n"));
  std::vector<std::string> lines;
  lines.reserve(raw.size());
  for (const std::string& l : raw) lines.push_back(quoted(l) ? unquote(l) : l);
  return Text::trim(Text::join(lines, "\n"));
}

std::optional<Ask> parseSection(const std::vector<std::string>& lines, size_t from, size_t to) {
  Ask ask;
  std::string head = Text::trimBlanks(stripCR(lines[from]).substr(3));
  ask.urgency = marks()[2];
  for (const std::string& mark : marks()) {
    if (Text::startsWith(head, mark)) {
      ask.urgency = mark;
      head = Text::trimBlanks(head.substr(mark.size()));
      break;
    }
  }
  auto close = head.find(']');
  if (head.empty() || head[0] != '[' || close == std::string::npos) return std::nullopt;
  ask.id = head.substr(1, close - 1);
  ask.title = Text::trimBlanks(head.substr(close + 1));
  ask.from = static_cast<int64_t>(from);
  ask.to = static_cast<int64_t>(to);

  const std::string askerLabel = Lang::pick("**Asked by:**", "**מבקש:**");
  const std::string sinceLabel = Lang::pick("**Since:**", "**מאז:**");
  const std::string costLabel = "**עלות-הענייה:**";
  std::vector<std::string> body, answer;
  bool inAnswer = false;
  for (size_t i = from + 1; i < to; ++i) {
    std::string raw = stripCR(lines[i]);
    std::string line = Text::trimBlanks(raw);
    if (inAnswer) {
      if (endsAnswer(line)) {
        inAnswer = false;
        body.push_back(raw);
        continue;
      }
      answer.push_back(raw);
      continue;
    }
    if (auto rest = afterAnswerMarker(line)) {
      inAnswer = true;
      answer.clear();
      if (!Text::trimBlanks(*rest).empty()) answer.push_back(Text::trimBlanks(*rest));
    } else if (auto v = after(line, askerLabel)) {
      ask.asker = *v;
    } else if (auto v2 = after(line, sinceLabel)) {
      ask.since = *v2;
    } else if (auto v3 = after(line, costLabel)) {
      ask.cost = *v3;
    } else {
      body.push_back(raw);
    }
  }
  ask.body = Text::trim(Text::join(body, "\n"));
  ask.answer = answerOf(answer);
  return ask;
}

size_t rankOf(const std::string& urgency) {
  const auto& m = marks();
  return static_cast<size_t>(std::find(m.begin(), m.end(), urgency) - m.begin());
}

}  // namespace

const std::vector<std::string>& marks() {
  static const std::vector<std::string> kMarks{"🔴", "🟠", "🟡", "🟢"};
  return kMarks;
}

std::string file() {
  return Files::join(Paths::documents(), "שאלות-לאורלן.md");
}

std::vector<Ask> parse(const std::string& text) {
  std::vector<std::string> lines = Text::split(text, '\n', false);
  std::vector<Ask> out;
  std::vector<size_t> heads;
  for (size_t i = 0; i < lines.size(); ++i)
    if (Text::startsWith(lines[i], "## ")) heads.push_back(i);
  for (size_t h = 0; h < heads.size(); ++h) {
    size_t end = h + 1 < heads.size() ? heads[h + 1] : lines.size();
    if (auto ask = parseSection(lines, heads[h], end)) out.push_back(std::move(*ask));
  }
  std::stable_sort(out.begin(), out.end(), [](const Ask& a, const Ask& b) {
    return rankOf(a.urgency) < rankOf(b.urgency);
  });
  return out;
}

std::vector<Ask> all() {
  auto doc = Documents::read(file());
  if (!doc.error.empty()) return {};
  return parse(doc.text);
}

Answered answered(const std::string& text, const std::string& id, const std::string& answer) {
  const Ask* found = nullptr;
  auto asks = parse(text);
  for (const Ask& a : asks)
    if (a.id == id && !found) found = &a;
  if (!found) return {"", Lang::pick("Question not found", "השאלה לא נמצאה")};

  std::vector<std::string> lines = Text::split(text, '\n', false);
  size_t from = static_cast<size_t>(found->from);
  size_t to = std::min(static_cast<size_t>(found->to), lines.size());

  // The block that replaces an earlier answer, or goes in where the section's content ends.
  std::vector<std::string> block{answerMarker()};
  for (const std::string& l : Text::split(Text::trim(answer), '\n', false)) {
    std::string line = stripCR(l);
    block.push_back(line.empty() ? ">" : "> " + line);
  }

  size_t start = to, end = to;
  for (size_t i = from + 1; i < to; ++i) {
    if (afterAnswerMarker(Text::trimBlanks(stripCR(lines[i])))) {
      start = i;
      end = i + 1;
      while (end < to && !endsAnswer(stripCR(lines[end]))) ++end;
      break;
    }
  }
  if (start == to) {
    // No answer yet: after the last line of content, before the blank lines and rules that
    // part this section from the next.
    end = to;
    while (end > from + 1) {
      std::string l = Text::trim(lines[end - 1]);
      if (!l.empty() && !Text::startsWith(l, "---")) break;
      --end;
    }
    start = end;
    block.insert(block.begin(), "");
  }
  // Blank lines after an earlier answer stay where they were.
  while (end > start + 1 && Text::trim(lines[end - 1]).empty()) --end;

  std::vector<std::string> out(lines.begin(), lines.begin() + static_cast<long>(start));
  out.insert(out.end(), block.begin(), block.end());
  out.insert(out.end(), lines.begin() + static_cast<long>(end), lines.end());
  return {Text::join(out, "\n"), ""};
}

namespace {

// Agents append questions to the file at any moment, with their own tools. An answer is
// written only over the very file it was worked out from; a file that changed meanwhile is
// read again and answered afresh, a few times at most.
constexpr int kAnswerRounds = 5;
// After a replace, the old file is watched until it stays still for two looks.
constexpr int kSettleLooks = 40;
constexpr std::chrono::milliseconds kSettleStep{5};

// One reading of the file, with what tells it from any other: the file's identity, size
// and time, and the digest of its bytes.
struct Reading {
  std::string bytes;
  Stores::Stamp stamp;
  std::string digest;
};

std::optional<Reading> readingOf(const Files::Held& held) {
  Reading r;
  struct stat st {};
  if (::fstat(held.fd(), &st) != 0) return std::nullopt;
  if (st.st_size > kMostBytes) return std::nullopt;
  r.bytes.resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < r.bytes.size()) {
    ssize_t n = ::pread(held.fd(), r.bytes.data() + got, r.bytes.size() - got,
                        static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  r.bytes.resize(got);
  auto stamp = Stores::stamp(held.name());
  if (!stamp) return std::nullopt;
  r.stamp = *stamp;
  r.digest = Sha256::digest(r.bytes);
  return r;
}

std::optional<Reading> readingAt(const std::string& path) {
  auto held = Files::hold(path, kMostBytes);
  if (!held) return std::nullopt;
  return readingOf(*held);
}

bool same(const Reading& a, const Reading& b) {
  return a.stamp == b.stamp && a.digest == b.digest;
}

}  // namespace

std::string answer(const std::string& id, const std::string& text) {
  const std::string path = file();
  std::string unreadable =
      Lang::pick("Could not read the questions file", "לא הצלחתי לקרוא את קובץ־השאלות");
  for (int round = 0; round < kAnswerRounds; ++round) {
    // The bytes as they are: a repaired reading saved back would change other sections.
    auto read = readingAt(path);
    if (!read) return unreadable;
    Answered result = answered(read->bytes, id, text);
    if (!result.error.empty()) return result.error;
    // Compare before replace: the file must still be the one just read, else it is read
    // again and answered afresh.
    auto held = Files::hold(path, kMostBytes);
    auto now = held ? readingOf(*held) : std::nullopt;
    if (!now) return unreadable;
    if (!same(*read, *now)) continue;
    std::string error = Documents::write(path, result.text);
    if (!error.empty()) return error;
    // An agent that opened the old file just before the replace may still write into it;
    // what it wrote is added to the new file, once the old one has stayed still a moment.
    std::string seen = now->bytes;
    for (int quiet = 0, look = 0; quiet < 2 && look < kSettleLooks; ++look) {
      std::this_thread::sleep_for(kSettleStep);
      auto after = readingOf(*held);
      if (!after || after->bytes.size() <= seen.size()) {
        ++quiet;
        continue;
      }
      quiet = 0;
      seen = after->bytes;
    }
    if (seen.size() > now->bytes.size() && Text::startsWith(seen, now->bytes) &&
        !Files::append(path, seen.substr(now->bytes.size())))
      return unreadable;
    return "";
  }
  return Lang::pick("The questions file kept changing; the answer was not saved — try again",
                    "קובץ־השאלות המשיך להשתנות; התשובה לא נשמרה — נסו שוב");
}

}  // namespace Asks
