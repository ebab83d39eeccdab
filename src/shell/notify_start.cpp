#include "shell/notify_start.h"

#include "control/notify.h"
#include "shell/notifier_dbus.h"

void startNotifications(MainQueue& main, std::weak_ptr<AppDelegate> app) {
  MainQueue* queue = &main;
  Pool::shared().async([queue, app] {
    auto hooks = Notify::Hooks::live();
    hooks.main = [queue](Job job) { queue->post(std::move(job)); };
    auto notify = Notify::make(dbusNotifier(), hooks);
    notify->onOpen([app](const std::string& sid) {
      if (auto a = app.lock()) a->openSession(sid, true);
    });
    Notify::install(notify);
    notify->setUp();
  });
}
