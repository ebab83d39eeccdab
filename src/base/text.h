#pragma once
// Small text helpers shared by every subsystem. Texts are UTF-8 byte strings.

#include <string>
#include <string_view>
#include <vector>

namespace Text {

bool startsWith(std::string_view s, std::string_view prefix);
bool endsWith(std::string_view s, std::string_view suffix);
bool contains(std::string_view s, std::string_view needle);

/// Trims spaces, tabs, carriage returns and line feeds from both ends.
std::string trim(std::string_view s);
/// Trims only spaces and tabs (line ends stay).
std::string trimBlanks(std::string_view s);

/// Splits at every occurrence of the separator; empty pieces are dropped when asked.
std::vector<std::string> split(std::string_view s, char separator, bool dropEmpty = true);
std::string join(const std::vector<std::string>& pieces, std::string_view separator);
std::string replaceAll(std::string s, std::string_view from, std::string_view to);
std::string lower(std::string_view s);
/// The system's text for an errno value; safe from any thread, unlike strerror.
std::string systemError(int code);

/// Replaces invalid UTF-8 sequences with U+FFFD, as a lenient decoder does.
std::string validUtf8(std::string_view bytes);
/// In JSON text, turns every "\uXXXX" escape of a lone surrogate (a high one not followed by
/// a low one, or a low one on its own) into "\ufffd", in place; escaped backslashes and
/// surrogate pairs are left alone. True when anything was changed.
bool replaceLoneSurrogateEscapes(std::string& json);
/// Number of characters (code points) in valid UTF-8.
size_t length(std::string_view utf8);
/// The first `count` characters (code points) of valid UTF-8.
std::string prefix(std::string_view utf8, size_t count);
/// The last `count` characters (code points) of valid UTF-8.
std::string suffix(std::string_view utf8, size_t count);

/// Reads a whole decimal integer (optional leading minus); false on anything else.
bool parseInt(std::string_view s, long long& out);
/// True for a non-empty run of ASCII digits only.
bool allDigits(std::string_view s);

/// A path under `home` written as "~" and the rest.
std::string abbreviateHome(const std::string& path, const std::string& home);

/// Last path component ("" for "").
std::string lastComponent(std::string_view path);

}  // namespace Text
