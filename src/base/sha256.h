#pragma once
// SHA-256, for the digests a Content-Security-Policy names its inline scripts and styles by.

#include <string>
#include <string_view>

namespace Sha256 {

/// The 32-byte digest of `bytes`, as raw bytes.
std::string digest(std::string_view bytes);

}  // namespace Sha256
