#include "app/acts.h"

#include <algorithm>

#include "app/terminal_acts.h"
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

}  // namespace

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

static void pushAsset(PageLink& page, const nlohmann::json& asset) {
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
             const std::optional<std::string>& save, const std::string& version) {
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
Follow outside(Lanes& lanes, bool (*open)(const std::string&), const std::string& target) {
  if (!target.empty()) lanes.background([open, target] { open(target); });
  return Follow::nothing;
}

Follow mute(const std::string& sid, const nlohmann::json& stamp) {
  if (sid.empty()) return Follow::nothing;
  Muted::set(sid, stamp.is_string() ? std::optional<std::string>(stamp) : std::nullopt);
  return Follow::repaint;
}

Follow rename(Lanes& lanes, const AppSources::Ptr& sources, const std::string& sid,
              const std::string& name, bool real) {
  if (sid.empty()) return Follow::nothing;
  Names::set(name, sid);
  // Carrying the name into the agent reads the terminals and may write a transcript.
  if (real)
    lanes.background([sid, name, src = sources] {
      auto terminals = src->openTerminals();
      bool live = std::any_of(terminals.begin(), terminals.end(),
                              [&](const Terminal& t) { return t.sessionID == sid; });
      Names::rename(name, sid, live);
    });
  return Follow::repaint;
}

Follow pageError(const std::string& text) {
  Log::line(Paths::agent("velmo-page-errors.log"), oneLine(text));
  return Follow::nothing;
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

// ---- restoring conversations ----

namespace {
const char* restoreNotSetUp() {
  return Lang::pick("Restoring conversations is not set up on this machine.",
                    "שחזור שיחות אינו מוגדר במחשב הזה.");
}
}  // namespace

Follow restorable(PageLink& page) {
  page.call("setRestorable", {"[]", jsString(restoreNotSetUp())});
  return Follow::nothing;
}

Follow restoreRun(PageLink& page) {
  Log::note(restoreNotSetUp());
  page.call("restoreDone", {});
  return Follow::nothing;
}

}  // namespace Acts
