#include "control/state_feed_interim.h"

#include <re2/re2.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "base/files.h"
#include "base/paths.h"
#include "base/text.h"

namespace StateFeed {

std::string questionID(const Terminals::Picker& picker) {
  std::string key = picker.tty + "|" + Terminals::signature(picker);
  if (picker.review) key += "|" + picker.context;
  uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : key) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  char out[17];
  std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(hash));
  return out;
}

std::string kind(const Terminals::Picker& picker) {
  if (picker.review) return "review";
  std::vector<std::string> labels;
  for (const auto& o : picker.options) labels.push_back(Text::lower(o.label));
  for (const auto& l : labels)
    if (Text::contains(l, "keep planning")) return "plan";
  bool form = false;
  for (const auto& o : picker.options)
    if (Text::contains(o.label, "☐") || Text::contains(o.label, "☒") ||
        Text::contains(o.label, "✔ Submit"))
      form = true;
  std::string all = Text::lower(picker.question) + " " + Text::join(labels, " ");
  if (!form) {
    static const char* const kPhrases[] = {"do you want to proceed",
                                           "do you want to make this edit",
                                           "do you want to create",
                                           "do you want to allow",
                                           "do you want to run",
                                           "do you want to",
                                           "allow ",
                                           "permission",
                                           "auto mode",
                                           "auto-mode",
                                           "classifier",
                                           "was blocked",
                                           "denied",
                                           "trust this folder",
                                           "would you like to proceed",
                                           "dangerously",
                                           "bypass"};
    for (const char* p : kPhrases)
      if (Text::contains(all, p)) return "permission";
  }
  for (const auto& l : labels)
    if (Text::startsWith(l, "yes, and don") || Text::startsWith(l, "yes, allow"))
      return "permission";
  if (Text::contains(all, "don't ask again")) return "permission";
  return "ask";
}

std::string redact(const std::string& text) {
  if (text.empty()) return text;
  static const RE2 token(
      "(sk-[A-Za-z0-9_\\-]{12,}|gh[pousr]_[A-Za-z0-9]{12,}|xox[abpr]-[A-Za-z0-9\\-]{10,}|"
      "AKIA[0-9A-Z]{12,}|eyJ[A-Za-z0-9_\\-]{10,}(\\.[A-Za-z0-9_\\-]+)*|[A-Za-z0-9_\\-+=/]{24,})");
  static const RE2 keyed(
      "(?i)(bearer|token|password|passwd|secret|api[_-]?key)([\"'=: ]+)([^\\s\"']{8,})");
  std::string out;
  re2::StringPiece input(text);
  re2::StringPiece match;
  size_t at = 0;
  while (at <= text.size() && token.Match(input, at, text.size(), RE2::UNANCHORED, &match, 1)) {
    size_t start = static_cast<size_t>(match.data() - text.data());
    std::string m(match);
    bool letter = false, digit = false;
    for (char c : m) {
      if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) letter = true;
      if (c >= '0' && c <= '9') digit = true;
    }
    size_t slashes = std::count(m.begin(), m.end(), '/');
    out.append(text, at, start - at);
    if (letter && digit && m[0] != '/' && slashes <= 1)
      out += "[redacted:" + std::to_string(Text::length(m)) + "]";
    else
      out += m;
    at = start + std::max<size_t>(m.size(), 1);
    if (m.empty()) out.append(text, start, 1);
  }
  if (at < text.size()) out.append(text, at, std::string::npos);
  RE2::GlobalReplace(&out, keyed, "\\1\\2[redacted]");
  return out;
}

std::string dir() {
  std::string folder = Paths::stateDir();
  Files::makeDirectories(folder, 0700);
  ::chmod(folder.c_str(), 0700);
  return folder;
}

void appendPrivate(const std::string& text, const std::string& path) {
  dir();
  std::string line = text;
  if (line.empty() || line.back() != '\n') line += '\n';
  Files::append(path, line, 0600);
  ::chmod(path.c_str(), 0600);
}

bool writePrivate(const std::string& path, const std::string& data) {
  dir();
  return Files::writeAtomic(path, data, 0600);
}

}  // namespace StateFeed
