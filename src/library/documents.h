#pragma once
// File operations behind the document pane and attachments: read and save a text file
// (keeping one backup), classify by extension, find paths named in a text, build the
// preview ("asset") of a text, image or PDF, and store pasted files. Stateless: any thread.
// Errors come back as texts in the interface language.

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace Documents {

/// "~" or "~/…" with the home folder put in; any other path unchanged.
std::string expand(const std::string& path);

/// "md", "pdf", "image", "text" or "other", by the lower-cased extension.
std::string kind(const std::string& path);

/// A text file's content, or why it could not be read: exactly one of the two is
/// non-empty, except that an empty file gives both empty.
struct Document {
  std::string text;
  std::string error;
};
Document read(const std::string& path);

/// Saves over an existing file, first copying it to "‹path›.gib". Never creates a file.
/// The error text, empty on success.
std::string write(const std::string& path, const std::string& text);

/// Existing files named in the text (as written there, "~" kept), first-seen order.
std::vector<std::string> paths(const std::string& text);

/// The preview payload of the page's setAsset: "path", "kind", "size", "name", and
/// "text", "src" (a data URL) or "pages" and "shots" (JPEG data URLs), or "error".
nlohmann::json asset(const std::string& path);

/// Saves the text over the file, then previews it with "note" ("saved HH:mm") or with the
/// error as "note" and "warn" true.
nlohmann::json saveAsset(const std::string& path, const std::string& text);

/// Stores a pasted or dropped file (Base64) under ~/.claude/velmo-drops as
/// "yyyyMMdd-HHmmss-‹cleaned name›"; the saved file's path, or "" on failure.
std::string stash(const std::string& base64, const std::string& name);
/// The name a pasted file is stored under, before any collision suffix (pure).
std::string stashName(const std::string& given, double when);

/// Selects the file in the file manager (page message "showInFinder").
bool showInFinder(const std::string& path);
/// Opens the file with its default application (page message "reveal").
bool reveal(const std::string& path);
/// Opens a web or mail address with the default application (page message "openURL").
bool openURL(const std::string& url);

}  // namespace Documents
