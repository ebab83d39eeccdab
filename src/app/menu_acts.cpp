#include "app/menu_acts.h"

#include "app/desktop_entries.h"
#include "base/lang.h"
#include "base/log.h"
#include "base/settings.h"
#include "feed/state_feed.h"
#include "library/desktop.h"
#include "relay/relay.h"

namespace MenuActs {

Follow toggleSetting(const std::string& key) {
  bool now = !Settings::flag(key);
  Settings::set(key, now);
  if (key == "relayAutoContinue" || key == "hygieneIdleClose")
    Relay::log(std::string(key == "relayAutoContinue" ? "menu: auto-continue " : "menu: idle close ") +
               (Settings::flag(key) ? "on" : "off"));
  if (key == "notifyOn") StateFeed::poke();
  return Follow::repaint;
}

Follow setRelayLine(int pct) {
  Settings::set("relayAskPct", pct);
  return Follow::repaint;
}

Follow setNotifyWait(int seconds) {
  Settings::set("notifyMinWait", seconds);
  if (Settings::flag("notifyOn")) StateFeed::poke();
  return Follow::repaint;
}

Follow toggleLoginItem() {
  if (DesktopEntries::loginItemInstalled()) {
    if (!DesktopEntries::removeLoginItem())
      Log::note(Lang::pick("Could not remove the login item ", "לא הצלחתי להסיר את פריט ההתחברות ") +
                DesktopEntries::loginItem());
  } else if (!DesktopEntries::installLoginItem(DesktopEntries::runningProgram())) {
    Log::note(Lang::pick("Could not write the login item ", "לא הצלחתי לכתוב את פריט ההתחברות ") +
              DesktopEntries::loginItem());
  }
  return Follow::repaint;
}

void claimMarkdown(Lanes& lanes) {
  lanes.background([] {
    bool ok = DesktopEntries::installApplication(DesktopEntries::runningProgram());
    auto desktop = Desktop::current();
    const auto& types = DesktopEntries::markdownTypes();
    // Only the first type must take; the older name is claimed where the desktop knows it.
    for (size_t i = 0; ok && i < types.size(); ++i) {
      bool taken = desktop->makeDefault(DesktopEntries::application(), types[i]);
      if (i == 0) ok = taken;
    }
    Log::note(ok ? Lang::pick("Markdown files now open in Velmo", "קובצי md ייפתחו מעכשיו בולמו")
                 : Lang::pick("Could not make Velmo the default",
                              "לא הצלחתי להגדיר את ולמו כברירת־המחדל"));
  });
}

void flipLanguage(Reports& reports) {
  Lang::set(Lang::hebrew() ? "en" : "he");
  reports.alert({Lang::pick("Language changed", "השפה הוחלפה"),
                 Lang::pick("Reopen Velmo to see it.", "צריך לפתוח את ולמו מחדש כדי לראות אותה."),
                 {Lang::pick("Close", "סגירה")}});
}

void about(Reports& reports) {
  reports.alert({Lang::pick("Velmo", "ולמו"),
                 Lang::pick("A status screen for every open terminal.\nEverything is read from "
                            "disk — no server, no network.",
                            "מסך־המצב של המסופים הפתוחים.\nהכול נקרא מהדיסק — אין שרת ואין רשת."),
                 {}});
}

Follow goBack(Overlays& views, SearchState& search, Conversation& conversation) {
  if (views.has(View::reader))
    views.set(View::reader, false);
  else if (search.open)
    search.close();
  else if (!conversation.openSID.empty())
    conversation.close();
  return Follow::repaint;
}

}  // namespace MenuActs
