#pragma once
// The message ids already counted, and by which log: a forked session's transcript repeats
// every earlier message of the session it came from, and those must not count twice.
//
// Each entry is 16 bytes (a 64-bit hash of the id, a 32-bit hash of the owning log's key
// and the hour it was booked), kept sorted for lookups, with fresh entries in a small hash
// table until they are many enough to merge in. Entries older than kIdDays are pruned: a fork of a
// conversation that old would count its repeated messages again, which is the price of a bounded
// set.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Spend {

constexpr int kIdDays = 180;

class CountedIds {
 public:
  /// The owner hash of the log that counted this message, if any did.
  std::optional<uint32_t> owner(uint64_t id) const;
  void claim(uint64_t id, uint32_t owner, double at);
  /// Forgets every id the log counted (the log shrank and will be read again).
  void release(uint32_t owner);
  /// Forgets ids booked before `cutoff` (seconds since 1970).
  void prune(double cutoff);
  size_t size() const { return sorted.size() + freshCount; }
  void clear();

  /// The whole set as bytes, stamped with `generation`; and back.
  std::string encode(uint64_t generation);
  static std::optional<CountedIds> decode(std::string_view bytes, uint64_t generation);

 private:
  struct Entry {
    uint64_t id;
    uint32_t owner;
    uint32_t hour;  ///< hours since 1970
  };
  void settle();
  void reindex();
  size_t slot(uint64_t id) const;
  std::vector<Entry> sorted;
  /// Where each value of an id's top 16 bits begins in `sorted` (65,537 entries), so a
  /// lookup touches one or two cache lines instead of a binary search's many.
  std::vector<uint32_t> index;
  std::vector<Entry> fresh;
  size_t freshCount = 0;
};

/// The owner hash of a log key.
uint32_t ownerHash(std::string_view key);

}  // namespace Spend
