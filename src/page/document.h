#pragma once
// The page as one HTML text: the style sheet and script inlined, the labels of the
// interface language filled in. Built once per page load.

#include <map>
#include <string>

namespace Page {

/// The files of page/, embedded at build time: file name → text.
const std::map<std::string, std::string>& resources();

/// The whole document for a language ("he" or "en"): lang and dir set, labels filled.
std::string document(const std::string& lang);
/// The document in the interface language (`Lang::code()`).
std::string document();

}  // namespace Page
