#pragma once
// The command table in parts, one per file, so that no part grows past a page of reading;
// `Cmd::table()` joins them in this order.

#include <vector>

#include "app/cmd.h"

namespace Cmd {

/// Conversations, views, search, terminals and their questions.
std::vector<Entry> workCommands();
/// Documents and files, the settings, Velmo itself, the page's own and the window's own.
std::vector<Entry> deskCommands();

namespace Parts {
using Request::flag;
using Request::integer;
using Request::list;
using Request::object;
using Request::text;

inline constexpr Arg kSid{"sid", text};
inline constexpr Arg kTty{"tty", text};
inline constexpr Arg kText{"text", text};
inline constexpr Arg kPath{"path", text};
inline constexpr Arg kValue{"value", integer};  // a submenu item's choice

inline constexpr unsigned kPage = page;
inline constexpr unsigned kMenu = menu;
inline constexpr unsigned kBoth = page | menu;
inline constexpr unsigned kWindow = menu | window;

/// Brings the window forward, where there is one.
void bringForward(Desk& d);
/// Calls the page's function without arguments.
Follow pageCall(Desk& d, const char* name);

}  // namespace Parts
}  // namespace Cmd
