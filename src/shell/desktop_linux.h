#pragma once
// The desktop on Linux: the file manager's D-Bus interface to show a file, xdg-open for
// everything else.

#include <memory>

#include "library/desktop.h"

namespace Desktop {

/// A host for the running desktop session. Install it at start-up: Desktop::install(linuxHost()).
std::shared_ptr<Host> linuxHost();

}  // namespace Desktop
