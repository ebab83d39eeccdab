#pragma once
// Quick find: conversations by title and project, and work files by path, matched as a
// bag of words in Hebrew or English without filler words, a Hebrew word with or without
// its one-letter prefix.

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "library/works.h"

namespace QuickFind {

/// One search word: the spellings that count as it.
using Group = std::vector<std::string>;

/// The query's search words in query order (lower case; split at white space, "," and
/// "?"; one-character and filler words dropped). A word of four or more characters that
/// starts with a Hebrew prefix letter may also be spelled without it.
std::vector<Group> words(const std::string& query);
/// Every group has a spelling inside `haystack` (lower case).
bool matchesAll(const std::vector<Group>& groups, const std::string& haystack);

/// A conversation's title without searching its transcript ("" when none is known).
using TitleOf = std::function<std::string(const std::string& sid)>;
/// The title Velmo already knows: the user's name for the session, else the title
/// remembered from its transcript.
std::string knownTitle(const std::string& sid);

/// Up to 6 conversations among the 400 newest shards whose title and project hold every
/// search word: {"sid", "title", "project", "when" ("d.M.yy"), "total": 0, "hits": []}.
nlohmann::json chatsJson(const std::string& query, const TitleOf& titleOf = knownTitle);

/// Up to 8 works whose path (relative to `root` when under it) holds every search word,
/// ranked by the words that also match the name, then newest first.
std::vector<Work> files(const std::string& query, const std::vector<Work>& works,
                        const std::string& root);
/// The rows of `files` over the works folder: {"path", "name", "kind", "project", "folder"}.
nlohmann::json filesJson(const std::string& query);

}  // namespace QuickFind
