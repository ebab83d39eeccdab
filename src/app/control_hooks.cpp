#include "app/control_hooks.h"

#include "base/lang.h"
#include "control/control.h"
#include "feed/state_feed.h"
#include "terminals/discover.h"

void installHooks(const std::shared_ptr<AppDelegate>& app, const AppDelegate::Hosts& hosts) {
  Terminals::setOnScan([] { StateFeed::poke(); });

  std::weak_ptr<AppDelegate> weak = app;
  Dialogs* dialogs = hosts.dialogs;
  MainQueue* main = hosts.main;
  Control::setAskOrlen([weak, dialogs, main](const std::string& title, const std::string& detail,
                                             std::function<void(bool)> reply) {
    if (!main || !dialogs) {
      reply(false);
      return;
    }
    main->post([weak, dialogs, title, detail, reply = std::move(reply)] {
      if (!weak.lock()) {
        reply(false);
        return;
      }
      dialogs->present();
      // One sheet at a time: while any alert is up, a new request is declined at once.
      if (dialogs->showing()) {
        reply(false);
        return;
      }
      Alert sheet{title,
                  detail,
                  {Lang::pick("Approve", "אישור"), Lang::pick("Decline", "לא")},
                  kApprovalTag};
      dialogs->alert(sheet, [reply](int button) { reply(button == 0); });
    });
  });
  Control::setCancelAsk([weak, dialogs, main] {
    if (!main || !dialogs) return;
    main->post([weak, dialogs] {
      if (weak.lock()) dialogs->dismiss(kApprovalTag, 1);
    });
  });

  // The control socket follows the claim: one Velmo answers on it, and the one that takes
  // over after it quits starts answering.
  app->whenClaimed([] { Control::start(); });
  app->launch();
}
