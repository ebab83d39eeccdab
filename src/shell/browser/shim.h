#pragma once
// The markup placed first in the served page's <head>: the bridge over the WebSocket
// (page/shim.js says what the page and the application speak through it).

#include <map>
#include <string>

/// The shim of `files` (its "shim.js"; the built-in one when the files have none, as a
/// stand-in page may not) with the connection's token filled in, as a <script> element,
/// after an empty icon link.
std::string shimMarkup(const std::map<std::string, std::string>& files, const std::string& token);
