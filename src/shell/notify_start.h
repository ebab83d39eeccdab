#pragma once
// Desktop notifications for the running application, in either shell.

#include <memory>

#include "app/app_delegate.h"
#include "base/queue.h"

/// Creates the shared `Notify` on the session bus in the background (the bus may be slow or
/// absent), with "open" opening the session in the application and showing it. The state
/// feed's pass ticks it once it is there.
void startNotifications(MainQueue& main, const std::weak_ptr<AppDelegate>& app);
