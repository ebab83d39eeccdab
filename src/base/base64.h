#pragma once
// Base64 in the standard alphabet with padding, as data URLs and pasted files use it.

#include <optional>
#include <string>
#include <string_view>

namespace Base64 {

std::string encode(std::string_view bytes);
/// Strict decoding: any character outside the alphabet (line breaks included), a length
/// that is not a multiple of four, or padding anywhere but the end gives no value.
std::optional<std::string> decode(std::string_view text);

}  // namespace Base64
