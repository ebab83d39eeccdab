#pragma once
// The one lock of the Sessions namespace: held around lookups and stores in its maps,
// never while a file is read.

#include <mutex>

namespace Sessions {

std::mutex& lock();
/// Empties the memo of located transcripts (under the lock).
void forgetLocated();

}  // namespace Sessions
