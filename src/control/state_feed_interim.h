#pragma once
// The few state-feed helpers notifications need (question identity, kind, redaction and
// the owner-only folder), until the state feed itself lands; then this file goes and
// notify.cpp includes the feed's header instead.

#include <string>

#include "terminals/picker.h"

namespace StateFeed {

/// 16 hex digits of FNV-1a over tty, "|", the prompt's signature (and "|" + context for a
/// review screen): the same screen question always gets the same id.
std::string questionID(const Terminals::Picker& picker);
/// "review", "plan", "permission" or "ask".
std::string kind(const Terminals::Picker& picker);
/// The text with tokens, keys and passwords replaced by "[redacted…]".
std::string redact(const std::string& text);

/// The private state folder, created (and set) owner-only.
std::string dir();
/// Appends one line to an owner-only file of the folder.
void appendPrivate(const std::string& text, const std::string& path);
/// Writes a whole owner-only file atomically.
bool writePrivate(const std::string& path, const std::string& data);

}  // namespace StateFeed
