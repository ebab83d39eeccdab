#include "base/text.h"

#include <string.h>

#include <algorithm>
#include <charconv>
#include <optional>

namespace Text {

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool contains(std::string_view s, std::string_view needle) {
  return s.find(needle) != std::string_view::npos;
}

static std::string trimSet(std::string_view s, std::string_view set) {
  size_t b = s.find_first_not_of(set);
  if (b == std::string_view::npos) return "";
  size_t e = s.find_last_not_of(set);
  return std::string(s.substr(b, e - b + 1));
}

std::string trim(std::string_view s) { return trimSet(s, " \t\r\n\f\v"); }
std::string trimBlanks(std::string_view s) { return trimSet(s, " \t"); }

std::vector<std::string> split(std::string_view s, char separator, bool dropEmpty) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    size_t at = s.find(separator, start);
    std::string_view piece = s.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start);
    if (!piece.empty() || !dropEmpty) out.emplace_back(piece);
    if (at == std::string_view::npos) break;
    start = at + 1;
  }
  return out;
}

std::string join(const std::vector<std::string>& pieces, std::string_view separator) {
  std::string out;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i) out += separator;
    out += pieces[i];
  }
  return out;
}

std::string replaceAll(std::string s, std::string_view from, std::string_view to) {
  if (from.empty()) return s;
  size_t at = 0;
  while ((at = s.find(from, at)) != std::string::npos) {
    s.replace(at, from.size(), to);
    at += to.size();
  }
  return s;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// Length of the valid UTF-8 sequence starting at s[i], or 0 when it is not one.
static size_t sequenceLength(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  if (c < 0x80) return 1;
  size_t n;
  unsigned int cp;
  if ((c & 0xE0) == 0xC0) { n = 2; cp = c & 0x1F; }
  else if ((c & 0xF0) == 0xE0) { n = 3; cp = c & 0x0F; }
  else if ((c & 0xF8) == 0xF0) { n = 4; cp = c & 0x07; }
  else return 0;
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) ||
      cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return n;
}

namespace {
// The code unit of the "\uXXXX" escape at `at`, if one is there.
std::optional<unsigned> escapedUnit(const std::string& json, size_t at) {
  if (at + 6 > json.size() || json[at] != '\\' || json[at + 1] != 'u') return std::nullopt;
  unsigned unit = 0;
  for (size_t i = at + 2; i < at + 6; ++i) {
    const char c = json[i];
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else
      return std::nullopt;
    unit = unit * 16 + digit;
  }
  return unit;
}

bool isHigh(unsigned unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isLow(unsigned unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}
}  // namespace

bool replaceLoneSurrogateEscapes(std::string& json) {
  bool changed = false;
  size_t i = json.find('\\');
  while (i != std::string::npos && i + 1 < json.size()) {
    auto unit = escapedUnit(json, i);
    // Any other escape, an escaped backslash among them, is two bytes long.
    size_t next = unit ? i + 6 : i + 2;
    bool lone = false;
    if (unit && isHigh(*unit)) {
      auto low = escapedUnit(json, i + 6);
      if (low && isLow(*low))
        next = i + 12;
      else
        lone = true;
    } else if (unit && isLow(*unit)) {
      lone = true;
    }
    if (lone) {
      json.replace(i, 6, "\\ufffd");
      changed = true;
    }
    i = json.find('\\', next);
  }
  return changed;
}

std::string validUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    size_t n = sequenceLength(bytes, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

size_t length(std::string_view utf8) {
  size_t n = 0;
  for (unsigned char c : utf8)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string prefix(std::string_view utf8, size_t count) {
  size_t seen = 0;
  for (size_t i = 0; i < utf8.size(); ++i) {
    if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) {
      if (seen == count) return std::string(utf8.substr(0, i));
      ++seen;
    }
  }
  return std::string(utf8);
}

std::string suffix(std::string_view utf8, size_t count) {
  size_t total = length(utf8);
  if (total <= count) return std::string(utf8);
  size_t skip = total - count, seen = 0;
  for (size_t i = 0; i < utf8.size(); ++i) {
    if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) {
      if (seen == skip) return std::string(utf8.substr(i));
      ++seen;
    }
  }
  return "";
}

bool allDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool parseInt(std::string_view s, long long& out) {
  if (s.empty()) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

std::string abbreviateHome(const std::string& path, const std::string& home) {
  if (home.empty() || home == "/") return path;
  if (path == home) return "~";
  if (startsWith(path, home) && path[home.size()] == '/') return "~" + path.substr(home.size());
  return path;
}

std::string lastComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t at = path.rfind('/');
  return std::string(at == std::string_view::npos ? path : path.substr(at + 1));
}

std::string systemError(int code) {
  char buffer[256];
  // The GNU strerror_r returns the text, in the buffer or in static storage.
  return ::strerror_r(code, buffer, sizeof buffer);
}

}  // namespace Text
