#include "app/control_hooks.h"

#include "base/lang.h"
#include "base/log.h"
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

  // The control socket is the owner's badge: only the Velmo that owns the terminals answers
  // on it, it is opened again at every scan when missing (a tidy-up removed it, or it could
  // not be opened before), and it closes the moment the claim is let go.
  struct Socket {
    std::unique_ptr<Control::Listener> listener;
    std::string lastFault;
  };
  auto socket = std::make_shared<Socket>();
  Claim::Badge badge;
  badge.up = [socket, weak] {
    if (socket->listener && socket->listener->standing()) return;
    socket->listener.reset();
    std::string why;
    socket->listener = Control::Listener::open(
        [weak] {
          auto a = weak.lock();
          return a && a->owns();
        },
        &why);
    if (socket->listener) {
      socket->lastFault.clear();
    } else if (why != socket->lastFault) {
      socket->lastFault = why;
      Log::note(Lang::pick("no control socket: ", "אין שקע בקרה: ") + why);
    }
  };
  badge.down = [socket] { socket->listener.reset(); };
  badge.heard = [] { return Control::answered(); };
  app->wearBadge(std::move(badge));
  app->launch();
}
