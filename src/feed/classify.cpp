// Pure readings of texts and prompts: redaction, the identity of a screen question, its
// kind, and whether the owner has to decide it personally.

#include <re2/re2.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "base/hash.h"
#include "base/text.h"
#include "feed/state_feed.h"

namespace StateFeed {
namespace {

// Phrases of the agent's permission and safety prompts, matched in lower case.
const std::vector<std::string_view> kPermissionPhrases = {"do you want to proceed",
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

// Words that make a question the owner's own decision: shipping, money, anything that
// goes out to other people, destruction, the product. Substrings; an entry ending in a
// blank only matches before a blank ("prod " is not "product").
const std::vector<std::string_view> kOwnerWords = {
    // going live
    "deploy", "release", "publish", "ship", "go live", "production", "prod ", "push", "merge",
    "rollback", "upload", "פרסום", "לפרסם", "שחרור", "לשחרר", "פריסה", "לפרוס", "להעלות", "באוויר",
    // money
    "price", "pricing", "pay", "payment", "refund", "charge", "invoice", "budget", "cost", "money",
    "₪", "$", "€", "subscription", "coupon", "discount", "מחיר", "כסף", "תשלום", "החזר", "חיוב",
    "חשבונית", "תקציב", "עלות", "מנוי", "קופון", "הנחה", "שקל",
    // outward
    "send", "email", "mail", "whatsapp", "sms", "message to", "customer", "client", "post ",
    "instagram", "facebook", "newsletter", "לשלוח", "שליחה", "מייל", "ווטסאפ", "וואטסאפ", "סמס",
    "הודעה ל", "לקוח", "פוסט", "דיוור", "אינסטגרם",
    // destructive
    "delete", "remove all", "drop ", "wipe", "irreversible", "למחוק", "מחיקה", "בלתי הפיך",
    // the product
    "product", "brand", "מוצר", "מיתוג", "החלטה"};

bool hasLetterAndDigit(std::string_view s) {
  bool letter = false, digit = false;
  for (char c : s) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) letter = true;
    if (c >= '0' && c <= '9') digit = true;
  }
  return letter && digit;
}

// A run that looks like a key: it mixes letters and digits and is no path (a path begins
// with "/" or has several of them).
bool secretLike(std::string_view match) {
  if (!hasLetterAndDigit(match) || Text::startsWith(match, "/")) return false;
  return std::count(match.begin(), match.end(), '/') <= 1;
}

// The lowered question and labels, joined with blanks.
std::string promptText(const Terminals::Picker& p) {
  std::string text = Text::lower(p.question);
  for (const auto& o : p.options) text += " " + Text::lower(o.label);
  return text;
}

bool containsAny(const std::string& text, const std::vector<std::string_view>& needles) {
  for (auto n : needles)
    if (Text::contains(text, n)) return true;
  return false;
}

}  // namespace

std::string redact(const std::string& text) {
  if (text.empty()) return text;
  static const RE2 tokens(
      "(sk-[A-Za-z0-9_\\-]{12,}|gh[pousr]_[A-Za-z0-9]{12,}|xox[abpr]-[A-Za-z0-9\\-]{10,}|"
      "AKIA[0-9A-Z]{12,}|eyJ[A-Za-z0-9_\\-]{10,}(\\.[A-Za-z0-9_\\-]+)*|[A-Za-z0-9_\\-+=/]{24,})");
  static const RE2 keyed(
      "(?i)(bearer|token|password|passwd|secret|api[_-]?key)([\"'=: ]+)([^\\s\"']{8,})");
  std::string out;
  out.reserve(text.size());
  re2::StringPiece input(text);
  re2::StringPiece match;
  size_t pos = 0;
  while (pos < text.size() && tokens.Match(input, pos, text.size(), RE2::UNANCHORED, &match, 1)) {
    size_t start = static_cast<size_t>(match.data() - text.data());
    out.append(text, pos, start - pos);
    std::string_view m(match.data(), match.size());
    if (secretLike(m))
      out += "[redacted:" + std::to_string(Text::length(m)) + "]";
    else
      out += m;
    pos = start + std::max<size_t>(match.size(), 1);
  }
  if (pos < text.size()) out.append(text, pos, std::string::npos);
  RE2::GlobalReplace(&out, keyed, "\\1\\2[redacted]");
  return out;
}

std::string questionID(const Terminals::Picker& p) {
  // The key holds the command or plan above the prompt: without it an answer (or an
  // approval token) meant for one permission prompt would be typed into the next.
  std::string key = p.tty + "|" + Terminals::promptKey(p);
  uint64_t hash = Hash::fnv1a(key);
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016" PRIx64, hash);
  return digits;
}

Terminals::Meant showing(const std::string& qid) {
  return [qid](const Terminals::Picker& p) { return questionID(p) == qid; };
}

std::string kind(const Terminals::Picker& p) {
  if (p.review) return "review";
  // The agent's plan approval asks under its own heading, and offers no "keep planning"
  // row when it has no plan to show.
  std::string question = Text::lower(p.question);
  if (Text::startsWith(question, "exit plan mode") || Text::startsWith(question, "ready to code"))
    return "plan";
  bool boxes = false;
  for (const auto& o : p.options) {
    std::string label = Text::lower(o.label);
    if (Text::contains(label, "keep planning")) return "plan";
    if (Text::contains(label, "☐") || Text::contains(label, "☒") ||
        Text::contains(label, "✔ submit"))
      boxes = true;
  }
  std::string text = promptText(p);
  // A form of the agent's own questions draws check boxes; its words are the agent's
  // question, not a permission request, however they read.
  if (!boxes && containsAny(text, kPermissionPhrases)) return "permission";
  for (const auto& o : p.options) {
    std::string label = Text::lower(o.label);
    if (Text::startsWith(label, "yes, and don") || Text::startsWith(label, "yes, allow"))
      return "permission";
  }
  if (Text::contains(text, "don't ask again")) return "permission";
  return "ask";
}

std::string gate(const std::string& kind, const Terminals::Picker& p) {
  if (kind == "permission" || kind == "plan") return "orlen-click";
  if (containsAny(promptText(p), kOwnerWords)) return "orlen";
  return "routine";
}

nlohmann::json parts(const PendingQuestion& q) {
  nlohmann::json out = nlohmann::json::array();
  for (const auto& part : q.parts) {
    nlohmann::json options = nlohmann::json::array();
    for (const auto& c : part.choices)
      options.push_back({{"label", redact(c.label)}, {"description", redact(c.detail)}});
    out.push_back({{"header", redact(part.header)},
                   {"question", redact(part.question)},
                   {"multiSelect", part.multi},
                   {"options", std::move(options)}});
  }
  return out;
}

}  // namespace StateFeed
