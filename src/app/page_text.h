#pragma once
// The page as one HTML document: index.html with its style sheet and script inlined and
// its labels written in the interface language, built once when the page is loaded.
//
// Labels: the page files may carry placeholders that are filled in here, so a language
// change takes effect when Velmo is reopened:
//   {{English text|טקסט עברי}}  the text of the interface language (no braces, bars or
//                              line breaks inside either text)
//   {{lang}}  "he" or "en"        {{dir}}  "rtl" or "ltr"
// The script can also read `window.velmoLang` ("he" or "en"), set before it runs.

#include <map>
#include <string>

namespace Page {
/// The files of page/, embedded at build time: file name → text.
const std::map<std::string, std::string>& resources();
}  // namespace Page

namespace PageText {

/// The page files in use: those in $VELMO_PAGE_DIR when it is set (working on the page
/// without rebuilding, and tests), else the embedded ones.
std::map<std::string, std::string> files();

/// The document: index.html with `<link … href="X.css">` and `<script src="X.js"></script>`
/// of page files inlined, labels filled in, and `head` placed first inside <head> (so it
/// runs before the page's own script).
std::string document(const std::map<std::string, std::string>& files, bool hebrew,
                     const std::string& head = "");

/// Fills in the label placeholders.
std::string labels(const std::string& text, bool hebrew);

}  // namespace PageText
