#pragma once
// The page as one HTML text: the style sheet and script inlined, the labels of the
// interface language filled in. Built once per page load.
//
// index.html carries the placeholders {{lang}}, {{dir}}, {{labels}} (the chosen
// language's labels.json entry as a JSON object), {{style}} and {{script}}. The script and
// the style sheet are written in parts that scripts.txt and styles.txt list; the build
// joins them into "app.js" and "style.css".

#include <map>
#include <string>

namespace Page {

/// The files of page/, embedded at build time: file name → text.
const std::map<std::string, std::string>& resources();

/// The page files in use: those in $VELMO_PAGE_DIR when it is set (working on the page
/// without rebuilding, and shell tests with a stand-in page), their script joined as the
/// build joins it, else the embedded ones.
std::map<std::string, std::string> files();

/// The files with their parts joined: when they hold "scripts.txt", the files it names
/// (one a line; blank lines and lines beginning with "#" name none), each ended by a line
/// break, in its order, become "app.js"; "styles.txt" makes "style.css" the same way. A
/// named file that is missing is left out and said on standard error. Files without a
/// list keep that file as it is.
std::map<std::string, std::string> joinParts(std::map<std::string, std::string> files);

/// The whole document for a language ("he" or "en"): lang and dir set, labels filled,
/// and `head` placed first inside <head> so it runs before the page's own script.
/// `window.velmoLang` is set there too.
std::string document(const std::map<std::string, std::string>& files, const std::string& lang,
                     const std::string& head = "");
/// The document of the files in use, in the interface language (`Lang::code()`).
std::string document();

}  // namespace Page
