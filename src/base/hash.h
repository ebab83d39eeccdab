#pragma once
// FNV-1a: a small hash of bytes that reads the same in every run and on every machine, for
// keys that are stored or compared across processes (message ids in the spend store, the
// question id of a prompt). Not for anything an adversary may choose to make collide.

#include <cstdint>
#include <string_view>

namespace Hash {

namespace detail {
template <typename Word>
struct Fnv;
template <>
struct Fnv<uint32_t> {
  static constexpr uint32_t basis = 2166136261u, prime = 16777619u;
};
template <>
struct Fnv<uint64_t> {
  static constexpr uint64_t basis = 14695981039346656037ull, prime = 1099511628211ull;
};
}  // namespace detail

/// FNV-1a of the bytes, 32 or 64 bits wide.
template <typename Word = uint64_t>
constexpr Word fnv1a(std::string_view bytes) {
  Word h = detail::Fnv<Word>::basis;
  for (char c : bytes) {
    h ^= static_cast<unsigned char>(c);
    h *= detail::Fnv<Word>::prime;
  }
  return h;
}

}  // namespace Hash
