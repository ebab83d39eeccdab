#include "spend/harvest.h"

#include <immintrin.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "base/clock.h"
#include "base/files.h"
#include "base/hash.h"
#include "base/log.h"
#include "sessions/state.h"

namespace Spend {

namespace {

using simdjson::SUCCESS;
namespace od = simdjson::ondemand;

constexpr size_t kPadding = simdjson::SIMDJSON_PADDING;

int64_t number(od::value v) {
  int64_t n = 0;
  if (v.get_int64().get(n) != SUCCESS) return 0;
  return n;
}

// The parts of an assistant record that count, read in one pass over its fields. Strings
// the record holds elsewhere (its text, tool calls) are skipped unread, never unescaped, so
// a lone surrogate escape in a reply's text does not cost the reply its count.
struct Usage {
  std::string_view type, id, model, timestamp;
  bool hasUsage = false, cacheObject = false;
  int64_t input = 0, output = 0, read = 0, creation = 0, five = 0, hour = 0;
};

// Keys are compared as they stand in the line: the ones looked for hold no escapes.
bool readCacheCreation(od::object cache, Usage& u) {
  for (auto item : cache) {
    od::field field;
    if (std::move(item).get(field) != SUCCESS) return false;
    auto key = field.key();
    if (key.unsafe_is_equal("ephemeral_5m_input_tokens")) {
      u.five = number(field.value());
    } else if (key.unsafe_is_equal("ephemeral_1h_input_tokens")) {
      u.hour = number(field.value());
    }
  }
  return true;
}

bool readUsage(od::object usage, Usage& u) {
  u.hasUsage = true;
  for (auto item : usage) {
    od::field field;
    if (std::move(item).get(field) != SUCCESS) return false;
    auto key = field.key();
    if (key.unsafe_is_equal("input_tokens")) {
      u.input = number(field.value());
    } else if (key.unsafe_is_equal("output_tokens")) {
      u.output = number(field.value());
    } else if (key.unsafe_is_equal("cache_read_input_tokens")) {
      u.read = number(field.value());
    } else if (key.unsafe_is_equal("cache_creation_input_tokens")) {
      u.creation = number(field.value());
    } else if (key.unsafe_is_equal("cache_creation")) {
      od::object cache;
      if (field.value().get_object().get(cache) == SUCCESS) {
        u.cacheObject = true;
        if (!readCacheCreation(cache, u)) return false;
      }
    }
  }
  return true;
}

bool readMessage(od::object message, Usage& u) {
  for (auto item : message) {
    od::field field;
    if (std::move(item).get(field) != SUCCESS) return false;
    auto key = field.key();
    if (key.unsafe_is_equal("id")) {
      if (field.value().get_string().get(u.id) != SUCCESS) u.id = {};
    } else if (key.unsafe_is_equal("model")) {
      if (field.value().get_string().get(u.model) != SUCCESS) u.model = {};
    } else if (key.unsafe_is_equal("usage")) {
      od::object usage;
      if (field.value().get_object().get(usage) == SUCCESS && !readUsage(usage, u)) return false;
    }
  }
  return true;
}

bool readRecord(od::object record, Usage& u) {
  for (auto item : record) {
    od::field field;
    if (std::move(item).get(field) != SUCCESS) return false;
    auto key = field.key();
    if (key.unsafe_is_equal("type")) {
      if (field.value().get_string().get(u.type) != SUCCESS) return false;
      if (u.type != "assistant") return true;  // nothing else in it counts
    } else if (key.unsafe_is_equal("message")) {
      od::object message;
      if (field.value().get_object().get(message) == SUCCESS && !readMessage(message, u))
        return false;
    } else if (key.unsafe_is_equal("timestamp")) {
      if (field.value().get_string().get(u.timestamp) != SUCCESS) u.timestamp = {};
    }
  }
  return true;
}

Counters countersOf(const Usage& u) {
  Counters c;
  c.input = u.input;
  c.output = u.output;
  c.read = u.read;
  if (u.cacheObject) {
    // The agent writes the total beside a breakdown that may be all zeros; what the
    // breakdown leaves unexplained went to the 5-minute cache, its default.
    c.write5 = std::max(u.five, u.creation - u.hour);
    c.write1h = u.hour;
  } else {
    c.write5 = u.creation;
  }
  c.calls = (c.input || c.output || c.read || c.write5 || c.write1h) ? 1 : 0;
  return c;
}

// Records of one message follow each other; a message seen again within this many is
// folded into its earlier use.
constexpr size_t kFoldBack = 8;

void take(const Usage& u, Harvest& into) {
  if (u.type != "assistant" || !u.hasUsage) return;
  if (!u.model.empty() && u.model.front() == '<') return;  // the agent's placeholder replies
  Counters now = countersOf(u);
  auto& uses = into.uses;
  uint64_t id = 0;
  if (!u.id.empty()) {
    id = idHash(u.id);
    into.lastMsg.assign(u.id);
    size_t from = uses.size() > kFoldBack ? uses.size() - kFoldBack : 0;
    for (size_t i = uses.size(); i-- > from;) {
      if (uses[i].id == id) {
        uses[i].counters = largest(uses[i].counters, now);
        return;
      }
    }
  } else if (now.zero()) {
    return;  // nothing ties it to a later record, and it adds nothing
  }
  double at = Clock::now();
  if (!u.timestamp.empty()) {
    if (auto t = Sessions::time(u.timestamp)) at = *t;
  }
  auto& models = into.models;
  auto known = std::find(models.begin(), models.end(), u.model);
  if (known == models.end()) known = models.insert(models.end(), std::string(u.model));
  uses.push_back({id, static_cast<uint32_t>(known - models.begin()), at, now});
}

// The marker's "p" and "k" stand six bytes apart; that pair is rare in a transcript, unlike
// its quotes, so blocks of 32 bytes are sifted for it and only the few places that have it
// are compared whole.
constexpr size_t kSiftP = 4, kSiftK = 10;
static_assert(kMarker[kSiftP] == 'p' && kMarker[kSiftK] == 'k');

__attribute__((target("avx2"))) const char* findSifted(const char* s, size_t n) {
  const __m256i p = _mm256_set1_epi8('p'), k = _mm256_set1_epi8('k');
  size_t i = 0;
  for (; i + kSiftK + 32 <= n; i += 32) {
    __m256i atP = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + kSiftP));
    __m256i atK = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + kSiftK));
    auto mask = static_cast<uint32_t>(_mm256_movemask_epi8(
        _mm256_and_si256(_mm256_cmpeq_epi8(atP, p), _mm256_cmpeq_epi8(atK, k))));
    while (mask) {
      size_t at = i + static_cast<size_t>(__builtin_ctz(mask));
      if (at + kMarker.size() <= n && std::memcmp(s + at, kMarker.data(), kMarker.size()) == 0)
        return s + at;
      mask &= mask - 1;
    }
  }
  return static_cast<const char*>(::memmem(s + i, n - i, kMarker.data(), kMarker.size()));
}

// The first marker in [s, s + n), or null.
const char* findMarker(const char* s, size_t n) {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return findSifted(s, n);
  return static_cast<const char*>(::memmem(s, n, kMarker.data(), kMarker.size()));
}

}  // namespace

uint64_t idHash(std::string_view id) {
  uint64_t h = Hash::fnv1a(id);
  return h ? h : 1;
}

Harvester::Harvester() : buffer(kChunkBytes + kPadding) {}

void Harvester::record(const char* begin, size_t length, Harvest& into) {
  od::document doc;
  if (parser.iterate(begin, length, length + kPadding).get(doc) != SUCCESS) return;
  od::object record;
  if (doc.get_object().get(record) != SUCCESS) return;
  Usage u;
  if (!readRecord(record, u)) return;
  take(u, into);
}

// [begin, end) holds whole lines, the last one ending in a line feed; the buffer has at
// least kPadding readable bytes past `end`.
void Harvester::scan(const char* begin, const char* end, Harvest& into) {
  const char* p = begin;
  while (p < end) {
    const char* hit = findMarker(p, static_cast<size_t>(end - p));
    if (!hit) return;
    auto* before = static_cast<const char*>(::memrchr(p, '\n', static_cast<size_t>(hit - p)));
    const char* start = before ? before + 1 : p;
    auto* stop = static_cast<const char*>(::memchr(hit, '\n', static_cast<size_t>(end - hit)));
    if (!stop) stop = end;
    record(start, static_cast<size_t>(stop - start), into);
    p = stop + 1;
  }
}

Harvest Harvester::run(const std::string& path, const Stretch& stretch) {
  Harvest into;
  into.pos = stretch.atLineStart ? stretch.start : -1;
  auto held = Files::hold(path, -1);
  if (!held) return into;
  into.opened = true;
  const int64_t limit = std::min(stretch.limit, held->size());

  size_t room = kChunkBytes;  // data bytes the buffer holds; padding follows
  if (buffer.size() != room + kPadding) buffer.assign(room + kPadding, 0);
  size_t have = 0;
  // A stretch that may begin inside a line starts one byte early: when that byte ends a
  // line, the stretch begins a line after all.
  int64_t offset = stretch.start;  // file offset of buffer[0]
  bool skipping = false;           // inside a line that belongs elsewhere or is too long
  if (!stretch.atLineStart && stretch.start > 0) {
    offset = stretch.start - 1;
    skipping = true;
  }
  bool tooLong = false, warned = false;
  while (true) {
    // Lines that begin at or past `end` belong to the next stretch.
    if (!skipping && have == 0 && offset >= stretch.end) break;
    int64_t filled = offset + static_cast<int64_t>(have);
    if (filled >= limit) {
      if (have > 0 || skipping) into.complete = false;  // inside a line not yet finished
      break;
    }
    size_t want =
        static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(room - have), limit - filled));
    ssize_t n = ::pread(held->fd(), buffer.data() + have, want, filled);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (have > 0 || skipping) into.complete = false;
      break;
    }
    have += static_cast<size_t>(n);
    into.bytes += n;
    char* data = buffer.data();
    auto* last = static_cast<char*>(::memrchr(data, '\n', have));
    if (!last) {
      if (have < room) continue;
      if (skipping || room >= kLongestLine) {
        if (!skipping) tooLong = true;
        if (tooLong && !warned) {
          ::Log::note("skipping a line longer than " + std::to_string(kLongestLine >> 20) +
                      " MiB in " + path);
          warned = true;
        }
        skipping = true;
        offset += static_cast<int64_t>(have);
        have = 0;
      } else {
        room = std::min(room * 2, kLongestLine);
        buffer.resize(room + kPadding);
      }
      continue;
    }
    char* begin = data;
    char* end = last + 1;
    if (skipping) {
      begin = static_cast<char*>(::memchr(data, '\n', have)) + 1;
      skipping = tooLong = false;
    }
    // Only lines that begin before the stretch's end are this stretch's.
    if (offset + (begin - data) < stretch.end) {
      int64_t inside = stretch.end - offset;
      if (end - data > inside) {
        // Cut after the line that holds the stretch's last byte.
        char* lastByte = data + inside - 1;
        auto* cut =
            static_cast<char*>(::memchr(lastByte, '\n', static_cast<size_t>(end - lastByte)));
        end = cut + 1;
      }
      scan(begin, end, into);
    } else {
      end = begin;
    }
    size_t used = static_cast<size_t>(end - data);
    offset += static_cast<int64_t>(used);
    into.pos = std::max(into.pos, offset);
    if (offset >= stretch.end) break;
    std::memmove(data, end, have - used);
    have -= used;
    if (room > kChunkBytes && have <= kChunkBytes) {
      // A long line is behind us: give its memory back.
      room = kChunkBytes;
      buffer.resize(room + kPadding);
      buffer.shrink_to_fit();
    }
  }
  return into;
}

}  // namespace Spend
