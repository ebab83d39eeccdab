// The two ways the owner's own decision reaches the control protocol: a one-time token
// minted when he approves an answer by a click in Velmo, and his answer to the same
// question in the coordinating session's own conversation.

#include <sys/random.h>

#include <cerrno>
#include <map>
#include <set>

#include "base/caches.h"
#include "base/files.h"
#include "base/text.h"
#include "base/timefmt.h"
#include "control/control.h"
#include "control/typed.h"
#include "sessions/json_line.h"
#include "sessions/state.h"

namespace Control {
namespace {

constexpr size_t kTokenBytes = 16;
constexpr double kRelaySeconds = 1800;
constexpr int64_t kRelayTailBytes = 1500000;

std::map<std::string, Grant> grants;
std::set<std::string> usedRelays;

bool randomBytes(unsigned char* out, size_t size) {
  size_t have = 0;
  while (have < size) {
    ssize_t got = ::getrandom(out + have, size - have, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    have += static_cast<size_t>(got);
  }
  return true;
}

// The agent has written both phrasings of its question tool's result over its releases:
// "User has answered your questions: …" and "Your questions have been answered: …".
bool answeredMarker(std::string_view text) {
  return Text::contains(text, "answered your questions") ||
         Text::contains(text, "questions have been answered");
}

// The text of a tool result's content: a string, or the "text" of its parts.
std::string resultText(simdjson::dom::element content) {
  std::string_view s;
  if (content.get(s) == simdjson::SUCCESS) return std::string(s);
  simdjson::dom::array parts;
  std::string out;
  if (content.get(parts) != simdjson::SUCCESS) return out;
  for (auto part : parts) {
    std::string_view t;
    if (part["text"].get(t) == simdjson::SUCCESS) out += t;
  }
  return out;
}

}  // namespace

std::string mint(const std::string& tty, const std::string& qid, const std::string& label) {
  unsigned char bytes[kTokenBytes];
  if (!randomBytes(bytes, sizeof bytes)) return "";
  static const char* digits = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token += digits[b >> 4];
    token += digits[b & 15];
  }
  Clock::Time now = Clock::now();
  std::lock_guard<std::mutex> guard(lock());
  std::erase_if(grants, [&](const auto& g) { return g.second.until <= now; });
  grants[token] = Grant{tty, qid, label, now + kGrantSeconds};
  return token;
}

bool redeem(const std::string& token, const std::string& tty, const std::string& qid,
            const std::string& label) {
  std::lock_guard<std::mutex> guard(lock());
  auto it = grants.find(token);
  if (it == grants.end()) return false;
  const Grant& g = it->second;
  if (g.until <= Clock::now() || g.tty != tty || g.qid != qid || g.label != label) return false;
  grants.erase(it);
  return true;
}

std::optional<std::string> relayEvidence(const std::string& fromSID, const std::string& needle,
                                         const std::string& target) {
  Clock::Time now = Clock::now();
  {
    // An answer Velmo typed into the console shows up in its transcript like the owner's.
    std::lock_guard<std::mutex> guard(lock());
    auto typed = typedAtLocked(fromSID);
    if (typed && now - *typed < kRelaySeconds) return std::nullopt;
  }
  if (fromSID.empty() || needle.empty() || fromSID == target) return std::nullopt;
  auto path = Sessions::transcriptURL(fromSID);
  if (!path) return std::nullopt;
  auto tail = Files::readTail(*path, kRelayTailBytes);
  if (!tail) return std::nullopt;

  const std::string quoted = "=\"" + Text::lower(needle) + "\"";
  Sessions::JsonLine parser;
  std::string_view bytes = tail->bytes;
  bool first = true;
  while (!bytes.empty()) {
    size_t end = bytes.find('\n');
    std::string_view line = bytes.substr(0, end);
    bytes = end == std::string_view::npos ? std::string_view() : bytes.substr(end + 1);
    bool cutLine = first && tail->cut;
    first = false;
    if (cutLine || !answeredMarker(line)) continue;
    auto record = parser.object(line);
    if (!record) continue;
    std::string_view type, stamp;
    if ((*record)["type"].get(type) != simdjson::SUCCESS || type != "user") continue;
    bool side = false;
    if ((*record)["isSidechain"].get(side) == simdjson::SUCCESS && side) continue;
    if ((*record)["timestamp"].get(stamp) != simdjson::SUCCESS) continue;
    auto when = Sessions::time(stamp);
    if (!when || now - *when >= kRelaySeconds) continue;
    simdjson::dom::array content;
    if ((*record)["message"]["content"].get(content) != simdjson::SUCCESS) continue;
    for (auto item : content) {
      std::string_view itemType, toolID;
      if (item["type"].get(itemType) != simdjson::SUCCESS || itemType != "tool_result") continue;
      if (item["tool_use_id"].get(toolID) != simdjson::SUCCESS) toolID = "";
      simdjson::dom::element body;
      if (item["content"].get(body) != simdjson::SUCCESS) continue;
      std::string text = resultText(body);
      if (!answeredMarker(text) || !Text::contains(Text::lower(text), quoted)) continue;
      std::string key = std::string(toolID) + "|" + needle;
      std::lock_guard<std::mutex> guard(lock());
      if (!usedRelays.insert(key).second) continue;
      return std::string(toolID) + " at " + std::string(stamp);
    }
  }
  return std::nullopt;
}

namespace {
const Caches::Enrolled enrolled(
    "answer grants",
    [] {
      std::lock_guard<std::mutex> guard(lock());
      grants.clear();
      usedRelays.clear();
    },
    [] {
      std::lock_guard<std::mutex> guard(lock());
      return grants.size() + usedRelays.size();
    });
}  // namespace

}  // namespace Control
