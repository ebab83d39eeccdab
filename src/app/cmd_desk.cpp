// The commands of the documents, the settings and Velmo itself, the page's own messages and
// the window's own items.

#include "app/acts.h"
#include "app/cmd_parts.h"
#include "app/menu_acts.h"
#include "base/lang.h"
#include "base/log.h"
#include "library/documents.h"

namespace Cmd {

using namespace Parts;

std::vector<Entry> deskCommands() {
  return {
    // ---- documents and files ----
    {.name = "openDoc",
     .roads = kPage,
     .args = {kPath, {"reader", flag, true}},
     .run = [](Desk& d, const Args& a) {
       return Acts::openDoc(d.document, d.views, d.conversation, a.text("path"), a.flag("reader"));
     }},
    {.name = "editDoc", .roads = kPage, .run = [](Desk& d, const Args&) { return d.document.edit(); }},
    // The page first: the card of a document opened in the conversation takes the edit.
    {.name = "editAnyDoc",
     .roads = kMenu,
     .menuWord = "editDocument",
     .title = {"Edit document", "עריכת המסמך"},
     .keys = "Ctrl+E",
     .run = [](Desk& d, const Args&) {
       d.page.call("editTopCard", {}, d.lanes.guarded([&d](const PageHost::Reply& reply) {
         if (reply.value == true || d.document.editing) return;
         d.lanes.follow(d.document.edit());
       }));
       return Follow::nothing;
     }},
    {.name = "saveDoc",
     .roads = kPage,
     .args = {kText},
     .run = [](Desk& d, const Args& a) { return d.document.save(a.text("text")); }},
    {.name = "saveAnyDoc",
     .roads = kMenu,
     .menuWord = "saveDocument",
     .title = {"Save", "שמירה"},
     .keys = "Ctrl+S",
     .run = [](Desk& d, const Args&) { return pageCall(d, "saveAnything"); }},
    {.name = "closeDoc",
     .roads = kBoth,
     .menuWord = "closeDocument",
     .title = {"Close document", "סגירת המסמך"},
     .keys = "Ctrl+Shift+W",
     .run = [](Desk& d, const Args&) {
       return d.document.path.empty() ? Follow::nothing : d.document.close(d.views);
     }},
    {.name = "asset",
     .roads = kPage,
     .args = {kPath},
     .run = [](Desk& d, const Args& a) { return Acts::asset(d.lanes, d.page, a.text("path"), {}); }},
    {.name = "saveAsset",
     .roads = kPage,
     .args = {kPath, kText, {"version", text, true}},
     .run = [](Desk& d, const Args& a) {
       return Acts::asset(d.lanes, d.page, a.text("path"), a.text("text"), a.text("version"));
     }},
    {.name = "stash",
     .roads = kPage,
     .args = {{"data", text}, {"name", text, true}},
     .run = [](Desk& d, const Args& a) {
       return Acts::stash(d.lanes, d.page, a.text("data"), a.text("name"));
     }},
    {.name = "showInFinder",
     .roads = kPage,
     .args = {kPath},
     .run = [](Desk& d, const Args& a) {
       return Acts::outside(d.lanes, Documents::showInFinder, a.text("path"));
     }},
    {.name = "reveal",
     .roads = kPage,
     .args = {kPath},
     .run = [](Desk& d, const Args& a) {
       return Acts::outside(d.lanes, Documents::reveal, a.text("path"));
     }},
    {.name = "openURL",
     .roads = kPage,
     .args = {{"url", text}},
     .run = [](Desk& d, const Args& a) {
       return Acts::outside(d.lanes, Documents::openURL, a.text("url"));
     }},
    {.name = "claimMarkdown",
     .roads = kMenu,
     .title = {"Always open Markdown in Velmo", "לפתוח קובצי md תמיד בולמו"},
     .run = [](Desk& d, const Args&) {
       MenuActs::claimMarkdown(d.lanes);
       return Follow::nothing;
     }},

    // ---- settings and Velmo itself ----
    {.name = "about",
     .roads = kMenu,
     .title = {"About Velmo", "על אודות ולמו"},
     .run = [](Desk& d, const Args&) {
       MenuActs::about(d.reports);
       return Follow::nothing;
     }},
    // Named in the language it switches to.
    {.name = "flipLanguage",
     .roads = kMenu,
     .title = {"מעבר לעברית", "Switch to English"},
     .run = [](Desk& d, const Args&) {
       MenuActs::flipLanguage(d.reports);
       return Follow::nothing;
     }},
    {.name = "toggleLoginItem",
     .roads = kMenu,
     .title = {"Open at Login", "הפעלה בהתחברות"},
     .run = [](Desk&, const Args&) { return MenuActs::toggleLoginItem(); }},
    {.name = "toggleRelay",
     .roads = kMenu,
     .title = {"Hand-off when the context fills", "מסירה כשההקשר מתמלא"},
     .run = [](Desk&, const Args&) { return MenuActs::toggleSetting("relayOn"); }},
    {.name = "toggleAutoContinue",
     .roads = kMenu,
     .title = {"Continue automatically when the hand-off is ready", "המשך אוטומטי כשהמסירה מוכנה"},
     .run = [](Desk&, const Args&) { return MenuActs::toggleSetting("relayAutoContinue"); }},
    {.name = "toggleIdleClose",
     .roads = kMenu,
     .title = {"Close conversations idle for 24 hours", "סגירת שיחות שדוממות 24 שעות"},
     .run = [](Desk&, const Args&) { return MenuActs::toggleSetting("hygieneIdleClose"); }},
    {.name = "setRelayLine",
     .roads = kMenu,
     .args = {kValue},
     .run = [](Desk&, const Args& a) { return MenuActs::setRelayLine(a.integer("value")); }},
    {.name = "toggleNotify",
     .roads = kMenu,
     .title = {"Question notifications", "התראות על שאלות"},
     .run = [](Desk&, const Args&) { return MenuActs::toggleSetting("notifyOn"); }},
    {.name = "setNotifyWait",
     .roads = kMenu,
     .args = {kValue},
     .run = [](Desk&, const Args& a) { return MenuActs::setNotifyWait(a.integer("value")); }},

    // ---- the page's own ----
    // The page's menu (browser mode): the item's command, checked as a menu choice.
    {.name = "menu",
     .roads = kPage,
     .args = {{"id", text}, {"value", integer, true}},
     .run = [](Desk& d, const Args& a) {
       const Entry* chosen = fromMenu(a.text("id"));
       nlohmann::json args = menuArgs(a.wide("value") ? std::optional<int>(a.integer("value"))
                                                      : std::nullopt);
       if (!chosen || Request::fault(chosen->args, args)) return Follow::nothing;
       return run(d, *chosen, args);
     }},
    {.name = "pageError",
     .roads = kPage,
     .args = {kText},
     .run = [](Desk&, const Args& a) { return Acts::pageError(a.text("text")); }},
    {.name = "log",
     .roads = kPage,
     .args = {kText},
     .run = [](Desk&, const Args& a) {
       Log::note(Lang::pick("page: ", "דף: ") + a.text("text"));
       return Follow::nothing;
     }},

    // ---- the window's own items: the shell runs them ----
    {.name = "hide", .roads = kWindow, .title = {"Hide Velmo", "הסתרת ולמו"}, .keys = "Ctrl+H"},
    {.name = "hideOthers",
     .roads = kWindow,
     .title = {"Hide Others", "הסתרת אחרים"},
     .keys = "Ctrl+Alt+H"},
    {.name = "quit", .roads = kWindow, .title = {"Quit Velmo", "יציאה מולמו"}, .keys = "Ctrl+Q"},
    {.name = "undo", .roads = kWindow, .title = {"Undo", "ביטול"}, .keys = "Ctrl+Z"},
    {.name = "redo", .roads = kWindow, .title = {"Redo", "ביצוע חוזר"}, .keys = "Ctrl+Shift+Z"},
    {.name = "cut", .roads = kWindow, .title = {"Cut", "גזירה"}, .keys = "Ctrl+X"},
    {.name = "copy", .roads = kWindow, .title = {"Copy", "העתקה"}, .keys = "Ctrl+C"},
    {.name = "paste", .roads = kWindow, .title = {"Paste", "הדבקה"}, .keys = "Ctrl+V"},
    {.name = "selectAll", .roads = kWindow, .title = {"Select All", "בחירת הכל"}, .keys = "Ctrl+A"},
    // A browser page cannot ask for a path on this machine.
    {.name = "openDocument",
     .roads = kWindow,
     .title = {"Open document…", "פתיחת מסמך…"},
     .keys = "Ctrl+O"},
    {.name = "minimize", .roads = kWindow, .title = {"Minimize", "מזעור"}, .keys = "Ctrl+M"},
    {.name = "close", .roads = kWindow, .title = {"Close", "סגירה"}, .keys = "Ctrl+W"},
    {.name = "bringToFront", .roads = kWindow, .title = {"Bring Velmo to Front", "הבאת ולמו לחזית"}},
  };
}

}  // namespace Cmd
