#pragma once
// Notifications on Linux: org.freedesktop.Notifications on the session bus, through GDBus.

#include <memory>
#include <string>

#include "control/notifier.h"

/// A notifier talking to the session bus (or to the bus at `address`), with a thread of its
/// own that hears the server's signals. Without a bus every call fails with the reason.
std::shared_ptr<Notifier> dbusNotifier(const std::string& address = "");
