#include "app/acts.h"

#include <algorithm>

#include "app/terminal_acts.h"
#include "base/json_field.h"
#include "base/lang.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"
#include "library/asks.h"
#include "library/documents.h"
#include "page/muted.h"
#include "page/panel_chat.h"
#include "terminals/names.h"

namespace Acts {
namespace {

constexpr size_t kPageErrorBytes = 16000;  // one page error line at most; a loop can flood

// One event, one line: a stack trace's line breaks would split it.
std::string oneLine(std::string s) {
  s = Text::replaceAll(std::move(s), "\r\n", "\n");
  std::replace(s.begin(), s.end(), '\r', '\n');
  s = Text::replaceAll(std::move(s), "\n", " \xE2\x86\xB5 ");
  if (s.size() > kPageErrorBytes) s = Text::validUtf8(s.substr(0, kPageErrorBytes)) + "…";
  return s;
}

// ---- views ----

Follow toggle(Overlays& views, SearchState& search, View v) {
  if (Views::toggle(views, v)) search.setOpen(false);
  return Follow::repaint;
}

// Opening the board brings the spend store up to date first.
Follow toggleSpend(Overlays& views, SearchState& search, Lanes& lanes,
                   const AppSources::Ptr& sources) {
  Follow follow = toggle(views, search, View::spend);
  if (views.has(View::spend)) {
    lanes.background([src = sources] {
      if (src->refreshSpend) src->refreshSpend(true);
    });
  }
  return follow;
}

// Takes down what shows: an overlay, else search, else the conversation.
Follow back(Overlays& views, SearchState& search, Conversation& conversation) {
  Overlays open = views;
  open.set(View::search, search.open);
  open.set(View::chat, !conversation.openSID.empty());
  auto top = Views::top(open);
  if (top == View::search)
    search.close();
  else if (top == View::chat)
    conversation.close();
  else if (top)
    views.set(*top, false);
  return Follow::repaint;
}

Follow findHere(Overlays& views, SearchState& search, PageLink& page, const std::string& text) {
  std::string q = Text::trim(text);
  views.set(View::works, false);
  search.setOpen(true);
  search.setQuery(q);
  page.call("setFind", {jsString(q)});
  if (Text::length(q) >= 2) search.run(q);
  return search.startSmart(q) | Follow::repaint;
}

// ---- documents and files ----

Follow openDoc(DocumentPane& document, Overlays& views, const Conversation& conversation,
               const std::string& path, bool asked) {
  if (path.empty()) return Follow::nothing;
  // From a conversation a document opens beside it, unless the page asks for the reader.
  bool reader = conversation.openSID.empty() || views.has(View::works) || asked;
  document.open(path, reader, views);
  return Follow::nothing;
}

void pushAsset(PageLink& page, const nlohmann::json& asset) {
  std::string json = scriptJson(asset);
  if (json.empty()) {
    Log::note(Lang::pick("Encoding the file failed", "קידוד הקובץ נכשל"));
    return;
  }
  page.call("setAsset", {json}, [](const PageHost::Reply& reply) {
    if (!reply.error.empty())
      Log::note(Lang::pick("Sending the file to the page failed — ", "שליחת הקובץ לדף נכשלה — ") +
                reply.error);
  });
}

// Previews a file in the page, after saving the text over it when one is given: over the
// reading named by `version` only.
Follow asset(Lanes& lanes, PageLink& page, const std::string& path,
             const std::optional<std::string>& save, const std::string& version = "") {
  if (path.empty()) return Follow::nothing;
  lanes.then(
      [path, save, version] {
        return save ? Documents::saveAsset(path, *save, version) : Documents::asset(path);
      },
      [&page](const nlohmann::json& asset) {
        pushAsset(page, asset);
        return Follow::nothing;
      });
  return Follow::nothing;
}

// Stores a pasted file and hands its path to the composer.
Follow stash(Lanes& lanes, PageLink& page, const std::string& data, const std::string& name) {
  lanes.then([data, name] { return Documents::stash(data, name); },
             [&page](const std::string& path) {
               if (path.empty())
                 Log::note(Lang::pick("Saving the pasted file failed", "שמירת הקובץ שהודבק נכשלה"));
               else
                 page.call("attached", {jsString(path)});
               return Follow::nothing;
             });
  return Follow::nothing;
}

// An answer to the questions file, saved off the main thread; a failure says why.
Follow answerInFile(Lanes& lanes, Reports& reports, const std::string& id,
                    const std::string& text) {
  if (id.empty() || Text::trim(text).empty()) return Follow::nothing;
  lanes.then(
      [id, text] { return Asks::answer(id, text); },
      [&reports](const std::string& error) {
        if (!error.empty())
          reports.alert({Lang::pick("The answer was not saved", "התשובה לא נשמרה"), error, {}});
        return Follow::repaint;
      });
  return Follow::nothing;
}

// Hands a file or address to the desktop.
template <void (*Open)(const std::string&)>
Follow outside(Lanes& lanes, const std::string& target) {
  if (!target.empty()) lanes.background([target] { Open(target); });
  return Follow::nothing;
}

void showInFinder(const std::string& path) {
  Documents::showInFinder(path);
}
void reveal(const std::string& path) {
  Documents::reveal(path);
}
void openURL(const std::string& url) {
  Documents::openURL(url);
}

// ---- restoring conversations ----

// Reopening recent conversations in a batch has no runner on this machine yet. The panel
// is told so instead of waiting for a list that never comes, and a run asked for anyway
// (a page from before) gets its button back.
const char* restoreNotSetUp() {
  return Lang::pick("Restoring conversations is not set up on this machine.",
                    "שחזור שיחות אינו מוגדר במחשב הזה.");
}

Follow restorable(PageLink& page) {
  page.call("setRestorable", {"[]", jsString(restoreNotSetUp())});
  return Follow::nothing;
}

Follow restoreRun(PageLink& page) {
  Log::note(restoreNotSetUp());
  page.call("restoreDone", {});
  return Follow::nothing;
}

// ---- the table ----

constexpr Arg kSid{"sid", text};
constexpr Arg kTty{"tty", text};
constexpr Arg kText{"text", text};
constexpr Arg kPath{"path", text};

const std::vector<Act> kActs = {
    {"open",
     {kSid, {"find", object, true}},
     [](Desk& d, const Args& a) {
       return openSession(d.conversation, d.search, d.views, a.text("sid"), a.value("find"));
     }},
    {"back", {}, [](Desk& d, const Args&) { return back(d.views, d.search, d.conversation); }},
    {"agents", {}, [](Desk& d, const Args&) { return toggle(d.views, d.search, View::crew); }},
    {"book", {}, [](Desk& d, const Args&) { return toggle(d.views, d.search, View::book); }},
    {"works", {}, [](Desk& d, const Args&) { return toggle(d.views, d.search, View::works); }},
    {"asks", {}, [](Desk& d, const Args&) { return toggle(d.views, d.search, View::asks); }},
    {"spend",
     {},
     [](Desk& d, const Args&) { return toggleSpend(d.views, d.search, d.lanes, d.sources); }},
    {"searchOpen",
     {},
     [](Desk& d, const Args&) {
       d.search.setOpen(true);
       return Follow::repaint;
     }},
    {"refresh",
     {},
     [](Desk& d, const Args&) {
       d.order.clear();
       return Follow::repaint;
     }},
    {"wakeAll",
     {},
     [](Desk& d, const Args&) {
       TerminalActs::wakeAll(d.lanes, d.sources);
       return Follow::nothing;
     }},
    {"newTerminal",
     {},
     [](Desk& d, const Args&) {
       TerminalActs::newTerminal(d.lanes, d.reports);
       return Follow::nothing;
     }},
    {"restorable", {}, [](Desk& d, const Args&) { return restorable(d.page); }},
    {"restoreRun", {{"sids", list}}, [](Desk& d, const Args&) { return restoreRun(d.page); }},
    {"quick",
     {kSid, kText},
     [](Desk& d, const Args& a) {
       std::string sid = a.text("sid"), body = a.text("text");
       if (!sid.empty() && !body.empty()) d.conversation.send(d.page, sid, body);
       return Follow::nothing;
     }},
    {"send",
     {kText},
     [](Desk& d, const Args& a) {
       std::string body = a.text("text");
       if (!body.empty() && !d.conversation.openSID.empty())
         d.conversation.send(d.page, d.conversation.openSID, body);
       return Follow::nothing;
     }},
    {"answerAsk",
     {kTty, {"pick", text | integer}, {"text", text, true}, {"expect", text, true}},
     [](Desk& d, const Args& a) {
       return TerminalActs::answer(d.lanes, d.reports, a.text("tty"), a.number("pick"),
                                   a.text("text"), a.text("expect"));
     }},
    {"answerFree",
     {kTty, kText, {"expect", text, true}},
     [](Desk& d, const Args& a) {
       TerminalActs::answerFree(d.lanes, d.page, a.text("tty"), a.text("text"), a.text("expect"));
       return Follow::nothing;
     }},
    {"answer",
     {{"id", text}, kText},
     [](Desk& d, const Args& a) {
       return answerInFile(d.lanes, d.reports, a.text("id"), a.text("text"));
     }},
    {"mute",
     {kSid, {"stamp", text, true}},
     [](Desk&, const Args& a) {
       std::string sid = a.text("sid");
       if (sid.empty()) return Follow::nothing;
       auto stamp = a.value("stamp");
       Muted::set(sid, stamp.is_string() ? std::optional<std::string>(stamp) : std::nullopt);
       return Follow::repaint;
     }},
    {"rename",
     {kSid, {"name", text}, {"real", flag, true}},
     [](Desk& d, const Args& a) {
       std::string sid = a.text("sid"), name = a.text("name");
       if (sid.empty()) return Follow::nothing;
       Names::set(name, sid);
       // Carrying the name into the agent reads the terminals and may write a transcript.
       if (a.flag("real"))
         d.lanes.background([sid, name, src = d.sources] {
           auto terminals = src->openTerminals();
           bool live = std::any_of(terminals.begin(), terminals.end(),
                                   [&](const Terminal& t) { return t.sessionID == sid; });
           Names::rename(name, sid, live);
         });
       return Follow::repaint;
     }},
    {"relayGo",
     {kSid},
     [](Desk& d, const Args& a) {
       std::string sid = a.text("sid");
       if (sid.empty() || !d.sources->relayGo) return Follow::nothing;
       // On the chores queue, so the click never lands in the middle of a relay pass.
       d.chore([src = d.sources, sid] { src->relayGo(sid); });
       return Follow::repaint;
     }},
    {"resume",
     {kSid},
     [](Desk& d, const Args& a) {
       TerminalActs::resume(d.lanes, d.reports, d.sources, a.text("sid"));
       return Follow::nothing;
     }},
    // The rack's rows name their terminal; the chat's button means the open conversation's.
    {"raise",
     {{"tty", text, true}},
     [](Desk& d, const Args& a) {
       TerminalActs::raise(d.lanes, d.sources, a.text("tty"), d.conversation.openSID);
       return Follow::nothing;
     }},
    {"raiseTty",
     {kTty},
     [](Desk& d, const Args& a) {
       if (!a.text("tty").empty()) TerminalActs::raise(d.lanes, d.sources, a.text("tty"), "");
       return Follow::nothing;
     }},
    {"more", {}, [](Desk& d, const Args&) { return d.conversation.more(); }},
    // The page's own menu (browser mode).
    {"menu",
     {{"id", text}, {"value", integer, true}},
     [](Desk& d, const Args& a) {
       auto value = a.value("value");
       d.choose(a.text("id"),
                value.is_number_integer() ? std::optional<int>(a.integer("value")) : std::nullopt);
       return Follow::nothing;
     }},
    {"step",
     {{"by", integer}},
     [](Desk& d, const Args& a) { return d.conversation.step(d.order, a.integer("by")); }},
    {"findClear", {}, [](Desk& d, const Args&) { return d.conversation.forgetFind(); }},
    {"findHere",
     {kText},
     [](Desk& d, const Args& a) { return findHere(d.views, d.search, d.page, a.text("text")); }},
    {"search", {kText}, [](Desk& d, const Args& a) { return d.search.search(a.text("text")); }},
    {"smartSearch",
     {kText},
     [](Desk& d, const Args& a) { return d.search.startSmart(Text::trim(a.text("text"))); }},
    {"showInFinder",
     {kPath},
     [](Desk& d, const Args& a) { return outside<showInFinder>(d.lanes, a.text("path")); }},
    {"reveal",
     {kPath},
     [](Desk& d, const Args& a) { return outside<reveal>(d.lanes, a.text("path")); }},
    {"openURL",
     {{"url", text}},
     [](Desk& d, const Args& a) { return outside<openURL>(d.lanes, a.text("url")); }},
    {"openDoc",
     {kPath, {"reader", flag, true}},
     [](Desk& d, const Args& a) {
       return openDoc(d.document, d.views, d.conversation, a.text("path"), a.flag("reader"));
     }},
    {"editDoc", {}, [](Desk& d, const Args&) { return d.document.edit(); }},
    {"saveDoc", {kText}, [](Desk& d, const Args& a) { return d.document.save(a.text("text")); }},
    {"closeDoc", {}, [](Desk& d, const Args&) { return d.document.close(d.views); }},
    {"asset",
     {kPath},
     [](Desk& d, const Args& a) { return asset(d.lanes, d.page, a.text("path"), {}); }},
    {"saveAsset",
     {kPath, kText, {"version", text, true}},
     [](Desk& d, const Args& a) {
       return asset(d.lanes, d.page, a.text("path"), a.text("text"), a.text("version"));
     }},
    {"stash",
     {{"data", text}, {"name", text, true}},
     [](Desk& d, const Args& a) { return stash(d.lanes, d.page, a.text("data"), a.text("name")); }},
    {"pageError",
     {kText},
     [](Desk&, const Args& a) {
       Log::line(Paths::agent("velmo-page-errors.log"), oneLine(a.text("text")));
       return Follow::nothing;
     }},
    {"log",
     {kText},
     [](Desk&, const Args& a) {
       Log::note(Lang::pick("page: ", "דף: ") + a.text("text"));
       return Follow::nothing;
     }},
};

// The JSON type of a value, as an argument's fault names it.
const char* typeOf(const nlohmann::json& v) {
  if (v.is_string()) return "string";
  if (v.is_number_integer()) return "integer";
  if (v.is_number()) return "number";
  if (v.is_boolean()) return "boolean";
  if (v.is_object()) return "object";
  if (v.is_array()) return "array";
  return "null";
}

bool fits(const nlohmann::json& v, unsigned types) {
  return ((types & text) && v.is_string()) || ((types & integer) && v.is_number_integer()) ||
         ((types & fraction) && v.is_number()) || ((types & flag) && v.is_boolean()) ||
         ((types & object) && v.is_object()) || ((types & list) && v.is_array());
}

std::string typeNames(unsigned types) {
  std::vector<std::string> names;
  const std::pair<unsigned, const char*> all[] = {{text, "string"},     {integer, "integer"},
                                                  {fraction, "number"}, {flag, "boolean"},
                                                  {object, "object"},   {list, "array"}};
  for (const auto& [bit, name] : all)
    if (types & bit) names.push_back(name);
  return Text::join(names, Lang::pick(" or ", " או "));
}

// "an integer", "a string or integer".
std::string article(const std::string& noun) {
  bool vowel = !noun.empty() && std::string("aeiou").find(noun[0]) != std::string::npos;
  return (vowel ? "an " : "a ") + noun;
}

}  // namespace

std::string Args::text(const char* key) const {
  return JsonField::text(message, key);
}

int Args::integer(const char* key) const {
  auto it = message.find(key);
  return it != message.end() && it->is_number_integer() ? it->get<int>() : 0;
}

bool Args::flag(const char* key) const {
  auto it = message.find(key);
  return it != message.end() && it->is_boolean() && it->get<bool>();
}

nlohmann::json Args::value(const char* key) const {
  auto it = message.find(key);
  return it != message.end() ? *it : nlohmann::json();
}

std::string Args::number(const char* key) const {
  auto it = message.find(key);
  if (it == message.end()) return "";
  if (it->is_string()) return it->get<std::string>();
  if (it->is_number_integer()) return std::to_string(it->get<int64_t>());
  return "";
}

const std::vector<Act>& table() {
  return kActs;
}

const Act* find(const std::string& name) {
  auto it = std::find_if(kActs.begin(), kActs.end(), [&](const Act& a) { return name == a.name; });
  return it == kActs.end() ? nullptr : &*it;
}

std::optional<std::string> fault(const Act& act, const nlohmann::json& message) {
  for (const Arg& arg : act.args) {
    std::string key = std::string("\"") + arg.key + "\"";
    auto it = message.find(arg.key);
    if (it == message.end()) {
      if (arg.optional) continue;
      return Lang::hebrew() ? "חסר " + key : key + " is missing";
    }
    if (fits(*it, arg.types)) continue;
    std::string is = typeOf(*it), wanted = typeNames(arg.types);
    if (Lang::hebrew()) return key + " הוא " + is + " ולא " + wanted;
    return key + " is " + article(is) + ", not " + article(wanted);
  }
  return std::nullopt;
}

Follow openSession(Conversation& conversation, SearchState& search, Overlays& views,
                   const std::string& sid, const nlohmann::json& find) {
  if (sid.empty()) return Follow::nothing;
  conversation.open(sid, find);
  search.setOpen(false);
  Views::closeAllButReader(views);
  search.forgetQuery();
  return Follow::repaint | Follow::readChat;
}

void stepLive(Conversation& conversation, SearchState& search, Overlays& views,
              const std::vector<std::string>& order, Lanes& lanes, const AppSources::Ptr& sources,
              int by) {
  lanes.then([src = sources] { return src->rackRows(); },
             [&conversation, &search, &views, &order, by](const std::vector<Panel::Unit>& units) {
               auto next =
                   Panel::stepLive(order, Panel::liveSessions(units), conversation.openSID, by);
               if (!next) {
                 Log::note(Panel::noLiveNote());
                 return Follow::nothing;
               }
               conversation.stepTo(*next);
               search.setOpen(false);
               views = Overlays{};
               return Follow::repaint;
             });
}

}  // namespace Acts
