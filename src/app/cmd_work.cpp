// The commands of the rack and the conversations: opening and stepping, the views, search,
// the terminals and their questions.

#include "app/acts.h"
#include "app/cmd_parts.h"
#include "app/menu_acts.h"
#include "app/terminal_acts.h"
#include "base/text.h"

namespace Cmd {
namespace {

using namespace Parts;

// Steps through the matches of the conversation's find, when one is shown.
Follow findStep(Desk& d, const char* by) {
  if (!d.conversation.shownFind().is_null()) d.page.call("findStep", {by});
  return Follow::nothing;
}

}  // namespace

std::vector<Entry> workCommands() {
  return {

    // ---- conversations ----
    {.name = "open",
     .roads = page | notice,
     .args = {kSid, {"find", object, true}, {"show", flag, true}},
     .run = [](Desk& d, const Args& a) {
       Follow f = Acts::openSession(d.conversation, d.search, d.views, a.text("sid"),
                                    a.value("find"));
       if (a.flag("show")) bringForward(d);  // from a notification
       return f;
     }},
    {.name = "back",
     .roads = kPage,
     .run = [](Desk& d, const Args&) { return Acts::back(d.views, d.search, d.conversation); }},
    {.name = "toRack",
     .roads = kMenu,
     .menuWord = "goBack",
     .title = {"Back to the rack", "חזרה למדף"},
     .keys = "Ctrl+L",
     .run = [](Desk& d, const Args&) {
       return MenuActs::goBack(d.views, d.search, d.conversation);
     }},
    {.name = "step",
     .roads = kPage,
     .args = {{"by", integer}},
     .run = [](Desk& d, const Args& a) { return d.conversation.step(d.order, a.integer("by")); }},
    {.name = "stepBack",
     .roads = kMenu,
     .title = {"Previous conversation", "השיחה הקודמת"},
     .keys = "Alt+Up",
     .run = [](Desk& d, const Args&) { return d.conversation.step(d.order, -1); }},
    {.name = "stepOn",
     .roads = kMenu,
     .title = {"Next conversation", "השיחה הבאה"},
     .keys = "Alt+Down",
     .run = [](Desk& d, const Args&) { return d.conversation.step(d.order, 1); }},
    {.name = "stepLive",
     .roads = 0,  // reached through the two menu items below
     .args = {{"by", integer}},
     .run = [](Desk& d, const Args& a) {
       Acts::stepLive(d.conversation, d.search, d.views, d.order, d.lanes, d.sources,
                      a.integer("by"));
       return Follow::nothing;
     }},
    {.name = "stepLiveBack",
     .roads = kMenu,
     .title = {"Previous active terminal", "המסוף הפעיל הקודם"},
     .keys = "Shift+Alt+Up",
     .run = [](Desk& d, const Args&) {
       Acts::stepLive(d.conversation, d.search, d.views, d.order, d.lanes, d.sources, -1);
       return Follow::nothing;
     }},
    {.name = "stepLiveOn",
     .roads = kMenu,
     .title = {"Next active terminal", "המסוף הפעיל הבא"},
     .keys = "Shift+Alt+Down",
     .run = [](Desk& d, const Args&) {
       Acts::stepLive(d.conversation, d.search, d.views, d.order, d.lanes, d.sources, 1);
       return Follow::nothing;
     }},
    {.name = "more", .roads = kPage, .run = [](Desk& d, const Args&) { return d.conversation.more(); }},
    {.name = "quick",
     .roads = kPage,
     .args = {kSid, kText},
     .run = [](Desk& d, const Args& a) {
       std::string sid = a.text("sid"), body = a.text("text");
       if (!sid.empty() && !body.empty()) d.conversation.send(d.page, sid, body);
       return Follow::nothing;
     }},
    {.name = "send",
     .roads = kPage,
     .args = {kText},
     .run = [](Desk& d, const Args& a) {
       std::string body = a.text("text");
       if (!body.empty() && !d.conversation.openSID.empty())
         d.conversation.send(d.page, d.conversation.openSID, body);
       return Follow::nothing;
     }},
    {.name = "myLast",
     .roads = kMenu,
     .title = {"To my last message", "להודעה האחרונה שלי"},
     .keys = "Ctrl+U",
     .run = [](Desk& d, const Args&) { return pageCall(d, "toMine"); }},
    {.name = "toggleFold",
     .roads = kMenu,
     .title = {"Collapsed view", "תצוגה מקופלת"},
     .keys = "Ctrl+Shift+C",
     .run = [](Desk& d, const Args&) { return pageCall(d, "toggleFold"); }},

    // ---- views ----
    {.name = "crew",
     .roads = kPage,
     .pageWord = "agents",
     .run = [](Desk& d, const Args&) { return Acts::toggle(d.views, d.search, View::crew); }},
    // One key: the next match of a find in the conversation, else the crew.
    {.name = "crewOrNextMatch",
     .roads = kMenu,
     .menuWord = "agentsOrNext",
     .title = {"Background agents", "סוכני־הרקע"},
     .keys = "Ctrl+G",
     .run = [](Desk& d, const Args&) {
       if (!d.conversation.shownFind().is_null()) return findStep(d, "1");
       return Acts::toggle(d.views, d.search, View::crew);
     }},
    {.name = "findPrev",
     .roads = kMenu,
     .title = {"Previous match in conversation", "ההתאמה הקודמת בשיחה"},
     .keys = "Ctrl+Shift+G",
     .run = [](Desk& d, const Args&) { return findStep(d, "-1"); }},
    {.name = "book",
     .roads = kBoth,
     .menuWord = "toggleBook",
     .title = {"Capability book", "ספר־היכולות"},
     .keys = "Ctrl+B",
     .run = [](Desk& d, const Args&) { return Acts::toggle(d.views, d.search, View::book); }},
    {.name = "works",
     .roads = kBoth,
     .menuWord = "toggleWorks",
     .title = {"Artifacts", "תוצרים"},
     .keys = "Ctrl+Y",
     .run = [](Desk& d, const Args&) { return Acts::toggle(d.views, d.search, View::works); }},
    {.name = "asks",
     .roads = kBoth,
     .menuWord = "toggleAsks",
     .title = {"Questions waiting for you", "שאלות שממתינות לך"},
     .keys = "Ctrl+I",
     .run = [](Desk& d, const Args&) { return Acts::toggle(d.views, d.search, View::asks); }},
    {.name = "spend",
     .roads = kBoth,
     .menuWord = "toggleSpend",
     .title = {"Usage", "צריכה"},
     .keys = "Ctrl+J",
     .run = [](Desk& d, const Args&) {
       return Acts::toggleSpend(d.views, d.search, d.lanes, d.sources);
     }},
    {.name = "refresh",
     .roads = kBoth,
     .menuWord = "refreshNow",
     .title = {"Refresh Now", "רענון עכשיו"},
     .keys = "Ctrl+R",
     .run = [](Desk& d, const Args&) {
       d.order.clear();
       return Follow::repaint;
     }},

    // ---- search ----
    {.name = "searchOpen",
     .roads = kPage,
     .run = [](Desk& d, const Args&) {
       d.search.setOpen(true);
       return Follow::repaint;
     }},
    // The window forward with search open and its field focused.
    {.name = "findAnywhere",
     .roads = menu | hotKey,
     .menuWord = "focusSearch",
     .title = {"Search every conversation", "חיפוש בכל השיחות"},
     .keys = "Ctrl+F",
     .run = [](Desk& d, const Args&) {
       bringForward(d);
       d.search.setOpen(true);
       d.lanes.follow(Follow::repaint);
       return pageCall(d, "focusFind");
     }},
    {.name = "openPalette",
     .roads = kMenu,
     .title = {"Terminal commands", "פקודות המסוף"},
     .keys = "Ctrl+K",
     .run = [](Desk& d, const Args&) {
       bringForward(d);
       return pageCall(d, "startCommand");
     }},
    {.name = "findClear",
     .roads = kPage,
     .run = [](Desk& d, const Args&) { return d.conversation.forgetFind(); }},
    {.name = "findHere",
     .roads = kPage,
     .args = {kText},
     .run = [](Desk& d, const Args& a) {
       return Acts::findHere(d.views, d.search, d.page, a.text("text"));
     }},
    {.name = "search",
     .roads = kPage,
     .args = {kText},
     .run = [](Desk& d, const Args& a) { return d.search.search(a.text("text")); }},
    {.name = "smartSearch",
     .roads = kPage,
     .args = {kText},
     .run = [](Desk& d, const Args& a) { return d.search.startSmart(Text::trim(a.text("text"))); }},

    // ---- terminals and their questions ----
    {.name = "newTerminal",
     .roads = kBoth,
     .title = {"New terminal", "מסוף חדש"},
     .keys = "Ctrl+N",
     .run = [](Desk& d, const Args&) {
       TerminalActs::newTerminal(d.lanes, d.reports);
       return Follow::nothing;
     }},
    {.name = "wakeAll",
     .roads = kBoth,
     .title = {"Wake everyone who is waiting", "להעיר את כל הממתינים"},
     .keys = "Ctrl+Shift+A",
     .run = [](Desk& d, const Args&) {
       TerminalActs::wakeAll(d.lanes, d.sources);
       return Follow::nothing;
     }},
    {.name = "restorable",
     .roads = kPage,
     .run = [](Desk& d, const Args&) { return Acts::restorable(d.page); }},
    {.name = "restoreRun",
     .roads = kPage,
     .args = {{"sids", list}},
     .run = [](Desk& d, const Args&) { return Acts::restoreRun(d.page); }},
    {.name = "answerAsk",
     .roads = kPage,
     .args = {kTty, {"pick", text | integer}, {"text", text, true}, {"expect", text, true}},
     .run = [](Desk& d, const Args& a) {
       return TerminalActs::answer(d.lanes, d.reports, a.text("tty"), a.number("pick"),
                                   a.text("text"), a.text("expect"));
     }},
    {.name = "answerFree",
     .roads = kPage,
     .args = {kTty, kText, {"expect", text, true}},
     .run = [](Desk& d, const Args& a) {
       TerminalActs::answerFree(d.lanes, d.page, a.text("tty"), a.text("text"), a.text("expect"));
       return Follow::nothing;
     }},
    {.name = "answer",
     .roads = kPage,
     .args = {{"id", text}, kText},
     .run = [](Desk& d, const Args& a) {
       return Acts::answerInFile(d.lanes, d.reports, a.text("id"), a.text("text"));
     }},
    {.name = "mute",
     .roads = kPage,
     .args = {kSid, {"stamp", text, true}},
     .run = [](Desk&, const Args& a) { return Acts::mute(a.text("sid"), a.value("stamp")); }},
    {.name = "rename",
     .roads = kPage,
     .args = {kSid, {"name", text}, {"real", flag, true}},
     .run = [](Desk& d, const Args& a) {
       return Acts::rename(d.lanes, d.sources, a.text("sid"), a.text("name"), a.flag("real"));
     }},
    {.name = "relayGo",
     .roads = kPage,
     .args = {kSid},
     .run = [](Desk& d, const Args& a) {
       std::string sid = a.text("sid");
       if (sid.empty() || !d.sources->relayGo) return Follow::nothing;
       // On the chores queue, so the click never lands in the middle of a relay pass.
       d.chore([src = d.sources, sid] { src->relayGo(sid); });
       return Follow::repaint;
     }},
    {.name = "resume",
     .roads = kPage,
     .args = {kSid},
     .run = [](Desk& d, const Args& a) {
       TerminalActs::resume(d.lanes, d.reports, d.sources, a.text("sid"));
       return Follow::nothing;
     }},
    // The rack's rows name their terminal; the chat's button means the open conversation's.
    {.name = "raise",
     .roads = kPage,
     .args = {{"tty", text, true}},
     .run = [](Desk& d, const Args& a) {
       TerminalActs::raise(d.lanes, d.sources, a.text("tty"), d.conversation.openSID);
       return Follow::nothing;
     }},
    {.name = "raiseTty",
     .roads = kPage,
     .args = {kTty},
     .run = [](Desk& d, const Args& a) {
       if (!a.text("tty").empty()) TerminalActs::raise(d.lanes, d.sources, a.text("tty"), "");
       return Follow::nothing;
     }},

  };
}

}  // namespace Cmd
