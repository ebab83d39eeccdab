#pragma once
// The page as one HTML text: the style sheet and script inlined, the labels of the
// interface language filled in. Built once per page load.
//
// index.html carries the placeholders {{lang}}, {{dir}}, {{labels}} (the chosen
// language's labels.json entry as a JSON object), {{style}} and {{script}}.

#include <map>
#include <string>

namespace Page {

/// The files of page/, embedded at build time: file name → text.
const std::map<std::string, std::string>& resources();

/// The page files in use: those in $VELMO_PAGE_DIR when it is set (working on the page
/// without rebuilding, and shell tests with a stand-in page), else the embedded ones.
std::map<std::string, std::string> files();

/// The whole document for a language ("he" or "en"): lang and dir set, labels filled,
/// and `head` placed first inside <head> so it runs before the page's own script.
/// `window.velmoLang` is set there too.
std::string document(const std::map<std::string, std::string>& files, const std::string& lang,
                     const std::string& head = "");
/// The document of the files in use, in the interface language (`Lang::code()`).
std::string document();

}  // namespace Page
