#include "base/base64.h"

#include <array>

namespace Base64 {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int, 256> makeValues() {
  std::array<int, 256> v{};
  for (int& x : v) x = -1;
  for (int i = 0; i < 64; ++i) v[static_cast<unsigned char>(kAlphabet[i])] = i;
  return v;
}
constexpr std::array<int, 256> kValues = makeValues();

}  // namespace

std::string encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  auto at = [&](size_t k) { return static_cast<unsigned>(static_cast<unsigned char>(bytes[k])); };
  for (; i + 3 <= bytes.size(); i += 3) {
    unsigned n = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
    out += kAlphabet[n >> 18 & 63];
    out += kAlphabet[n >> 12 & 63];
    out += kAlphabet[n >> 6 & 63];
    out += kAlphabet[n & 63];
  }
  size_t left = bytes.size() - i;
  if (left == 1) {
    unsigned n = at(i) << 16;
    out += kAlphabet[n >> 18 & 63];
    out += kAlphabet[n >> 12 & 63];
    out += "==";
  } else if (left == 2) {
    unsigned n = at(i) << 16 | at(i + 1) << 8;
    out += kAlphabet[n >> 18 & 63];
    out += kAlphabet[n >> 12 & 63];
    out += kAlphabet[n >> 6 & 63];
    out += '=';
  }
  return out;
}

std::optional<std::string> decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    unsigned n = 0;
    for (size_t k = 0; k < 4; ++k) {
      char c = text[i + k];
      int v = 0;
      if (c == '=') {
        if (!last || k < 4 - padding) return std::nullopt;
      } else {
        v = kValues[static_cast<unsigned char>(c)];
        if (v < 0) return std::nullopt;
      }
      n = n << 6 | static_cast<unsigned>(v);
    }
    out += static_cast<char>(n >> 16 & 0xFF);
    if (!last || padding < 2) out += static_cast<char>(n >> 8 & 0xFF);
    if (!last || padding < 1) out += static_cast<char>(n & 0xFF);
  }
  return out;
}

}  // namespace Base64
