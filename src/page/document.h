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
/// `window.velmoLang` is set there too. Ahead of all of it, a Content-Security-Policy meta
/// element carrying `policy(document, connect)`.
std::string document(const std::map<std::string, std::string>& files, const std::string& lang,
                     const std::string& head = "", const std::string& connect = "");

/// The Content-Security-Policy for a finished document. Everything the page shows comes
/// from anywhere (tool output, web pages the agent read, file names), so a slip in its
/// escaping must still not run script: scripts and style sheets run only as the
/// attribute-less <script> and <style> elements `html` holds now, named by their SHA-256;
/// no eval, no inline handlers, no javascript: links, no plugins, no <base>, no forms;
/// images only as data: URLs (the previews the application sends); connections only to
/// `connect` (source expressions; "" allows none).
std::string policy(const std::string& html, const std::string& connect);

/// The policy a document made by document() carries ("" when it has none), so a server
/// can send the same as a header.
std::string policyOf(const std::string& document);
/// The document of the files in use, in the interface language (`Lang::code()`).
std::string document();

}  // namespace Page
