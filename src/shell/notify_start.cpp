#include "shell/notify_start.h"

#include "control/notify.h"
#include "feed/state_feed.h"
#include "shell/notifier_dbus.h"

void startNotifications(MainQueue& main, const std::weak_ptr<AppDelegate>& app) {
  // The feed's pass ticks whichever instance is installed; none until the bus answered.
  StateFeed::setTick(
      [](const std::vector<Terminal>& terms, const std::vector<Terminals::Picker>& pickers) {
        if (auto notify = Notify::shared()) notify->tick(terms, pickers);
      });
  StateFeed::setAuthorization([] { return Notify::authorization(); });

  MainQueue* queue = &main;
  Pool::shared().async([queue, app] {
    auto hooks = Notify::Hooks::live();
    hooks.main = [queue](Job job) { queue->post(std::move(job)); };
    hooks.owning = [app] {
      auto a = app.lock();
      return a && a->owns();
    };
    auto notify = Notify::make(dbusNotifier(), hooks);
    notify->onOpen([app](const std::string& sid) {
      if (auto a = app.lock()) a->run("open", {{"sid", sid}, {"show", true}});
    });
    Notify::install(notify);
    notify->setUp();
  });
}
