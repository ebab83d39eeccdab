#include "spend/ids.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/hash.h"

namespace Spend {

namespace {
constexpr char kMagic[8] = {'V', 'S', 'P', 'I', 'D', 'S', '1', '\n'};
// Fresh entries join the sorted part when the table holding them is half full.
constexpr size_t kFreshLeast = 4096;
}  // namespace

uint32_t ownerHash(std::string_view key) {
  return Hash::fnv1a<uint32_t>(key);
}

// Fresh entries sit in an open-addressed table (id 0 marks a free slot; ids are never 0),
// at most half full, so a lookup is mostly one cache line and a claim allocates nothing.
size_t CountedIds::slot(uint64_t id) const {
  size_t mask = fresh.size() - 1;
  size_t i = static_cast<size_t>((id * 0x9E3779B97F4A7C15ull) >> 20) & mask;
  while (fresh[i].id != 0 && fresh[i].id != id) i = (i + 1) & mask;
  return i;
}

std::optional<uint32_t> CountedIds::owner(uint64_t id) const {
  if (freshCount) {
    const Entry& e = fresh[slot(id)];
    if (e.id == id) return e.owner;
  }
  if (sorted.empty()) return std::nullopt;
  size_t top = id >> 48;
  auto begin = sorted.begin() + index[top], end = sorted.begin() + index[top + 1];
  auto it = std::lower_bound(begin, end, id, [](const Entry& e, uint64_t v) { return e.id < v; });
  if (it != end && it->id == id) return it->owner;
  return std::nullopt;
}

void CountedIds::claim(uint64_t id, uint32_t owner, double at) {
  if (fresh.empty()) fresh.assign(2 * kFreshLeast, Entry{});
  Entry& e = fresh[slot(id)];
  if (e.id == 0) ++freshCount;
  e = {id, owner, static_cast<uint32_t>(std::max(0.0, std::floor(at / 3600)))};
  if (freshCount >= fresh.size() / 2) settle();
}

void CountedIds::settle() {
  if (freshCount == 0) return;
  auto byId = [](const Entry& a, const Entry& b) { return a.id < b.id; };
  size_t middle = sorted.size();
  for (const Entry& e : fresh)
    if (e.id != 0) sorted.push_back(e);
  std::sort(sorted.begin() + static_cast<std::ptrdiff_t>(middle), sorted.end(), byId);
  std::inplace_merge(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(middle),
                     sorted.end(), byId);
  // The next batch may be a sixteenth of all, so merging costs a constant share per entry.
  size_t room = 2 * kFreshLeast;
  while (room < sorted.size() / 8) room *= 2;
  fresh.assign(room, Entry{});
  freshCount = 0;
  reindex();
}

void CountedIds::reindex() {
  index.assign(65537, 0);
  for (const Entry& e : sorted) ++index[(e.id >> 48) + 1];
  for (size_t i = 1; i < index.size(); ++i) index[i] += index[i - 1];
}

void CountedIds::release(uint32_t owner) {
  auto mine = [&](const Entry& e) { return e.owner == owner; };
  settle();
  std::erase_if(sorted, mine);
  reindex();
}

void CountedIds::prune(double cutoff) {
  auto hour = static_cast<uint32_t>(std::max(0.0, std::floor(cutoff / 3600)));
  auto old = [&](const Entry& e) { return e.hour < hour; };
  settle();
  std::erase_if(sorted, old);
  reindex();
}

void CountedIds::clear() {
  sorted.clear();
  index.clear();
  fresh.clear();
  freshCount = 0;
}

std::string CountedIds::encode(uint64_t generation) {
  settle();
  std::string out(kMagic, sizeof kMagic);
  out.append(reinterpret_cast<const char*>(&generation), sizeof generation);
  uint64_t count = sorted.size();
  out.append(reinterpret_cast<const char*>(&count), sizeof count);
  out.append(reinterpret_cast<const char*>(sorted.data()), sorted.size() * sizeof(Entry));
  return out;
}

std::optional<CountedIds> CountedIds::decode(std::string_view bytes, uint64_t generation) {
  static_assert(sizeof(Entry) == 16);
  constexpr size_t head = sizeof kMagic + 16;
  if (bytes.size() < head || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
    return std::nullopt;
  uint64_t stamp = 0, count = 0;
  std::memcpy(&stamp, bytes.data() + 8, 8);
  std::memcpy(&count, bytes.data() + 16, 8);
  if (stamp != generation || bytes.size() - head != count * sizeof(Entry)) return std::nullopt;
  CountedIds ids;
  ids.sorted.resize(count);
  std::memcpy(ids.sorted.data(), bytes.data() + head, count * sizeof(Entry));
  if (!std::is_sorted(ids.sorted.begin(), ids.sorted.end(),
                      [](const Entry& a, const Entry& b) { return a.id < b.id; }))
    return std::nullopt;
  ids.reindex();
  return ids;
}

}  // namespace Spend
