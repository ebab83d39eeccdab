#pragma once
// Velmo's desktop entries: the autostart entry that launches it at login (on exactly when
// the file exists) and the application entry through which it opens Markdown files.

#include <string>
#include <vector>

namespace DesktopEntries {

/// The icon's name in the theme: the installed `velmo.svg` under hicolor/scalable/apps.
inline constexpr const char* kIcon = "velmo";

/// The Exec value of an entry running the program with `codes` after it: the path quoted
/// and escaped as desktop entries read it, so blanks, quotes, "$", "\" and "%" survive.
/// Empty for a path that no entry can hold (a line break in it).
std::string execLine(const std::string& program, const std::string& codes = "");
/// The whole text of an entry for the program; `mimeTypes` empty for the autostart entry.
/// The installed application entry is this text too (tools/desktop-entry writes it).
std::string entry(const std::string& program, const std::vector<std::string>& mimeTypes);

/// `$XDG_CONFIG_HOME/autostart/velmo.desktop` (default ~/.config).
std::string loginItem();
/// Whether Velmo starts at login: the autostart entry exists.
bool loginItemInstalled();
/// Writes the autostart entry for the program (atomically); false when it could not.
bool installLoginItem(const std::string& program);
/// Removes the autostart entry; false when it is still there.
bool removeLoginItem();

/// `$XDG_DATA_HOME/applications/velmo.desktop` (default ~/.local/share).
std::string application();
/// The Markdown types Velmo claims, the first of which must take.
const std::vector<std::string>& markdownTypes();
/// Writes the application entry for the program; false when it could not.
bool installApplication(const std::string& program);

/// The path of the running program ("" when it cannot be told).
std::string runningProgram();

}  // namespace DesktopEntries
