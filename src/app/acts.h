#pragma once
// What the commands do beyond a line or two: each act names in its signature what it
// touches and returns what must follow. The command table (`app/commands.cpp`) reaches them.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "app/conversation.h"
#include "app/document_pane.h"
#include "app/follow.h"
#include "app/lanes.h"
#include "app/page_link.h"
#include "app/reports.h"
#include "app/search_state.h"
#include "app/sources.h"
#include "app/view.h"

namespace Acts {

/// Opens or closes the view; search closes when it opens.
Follow toggle(Overlays& views, SearchState& search, View v);
/// The usage board; opening it brings the spend store up to date first.
Follow toggleSpend(Overlays& views, SearchState& search, Lanes& lanes,
                   const AppSources::Ptr& sources);
/// Takes down what shows: an overlay, else search, else the conversation.
Follow back(Overlays& views, SearchState& search, Conversation& conversation);
/// Search over the open conversation with the text, word search and meaning search.
Follow findHere(Overlays& views, SearchState& search, PageLink& page, const std::string& text);

/// Opens a document; from a conversation beside it, unless `asked` for the reader.
Follow openDoc(DocumentPane& document, Overlays& views, const Conversation& conversation,
               const std::string& path, bool asked);
/// Previews a file in the page, after saving the text over it when one is given: over the
/// reading named by `version` only.
Follow asset(Lanes& lanes, PageLink& page, const std::string& path,
             const std::optional<std::string>& save, const std::string& version = "");
/// Stores a pasted file and hands its path to the composer.
Follow stash(Lanes& lanes, PageLink& page, const std::string& data, const std::string& name);
/// An answer to the questions file, saved off the main thread; a failure says why.
Follow answerInFile(Lanes& lanes, Reports& reports, const std::string& id,
                    const std::string& text);
/// Hands a file or address to the desktop, off the main thread.
Follow outside(Lanes& lanes, bool (*open)(const std::string&), const std::string& target);
/// Mutes the session's question (the one of `stamp`, a string; else all of them).
Follow mute(const std::string& sid, const nlohmann::json& stamp);
/// Names the session; `real` carries the name into the agent too.
Follow rename(Lanes& lanes, const AppSources::Ptr& sources, const std::string& sid,
              const std::string& name, bool real);
/// One line of the page's errors log.
Follow pageError(const std::string& text);
/// The restore panel's list: reopening recent conversations in a batch has no runner on
/// this machine yet, so the panel is told so instead of waiting for a list.
Follow restorable(PageLink& page);
/// A restore asked for anyway (a page from before): logged, and the button given back.
Follow restoreRun(PageLink& page);

/// Opens the conversation (nothing for an empty sid): search and the overlays other than
/// the reader close, and it is painted at once.
Follow openSession(Conversation& conversation, SearchState& search, Overlays& views,
                   const std::string& sid, const nlohmann::json& find);
/// Opens the previous (-1) or next (+1) conversation that is not idle, in rack order, with
/// search and every overlay closed.
void stepLive(Conversation& conversation, SearchState& search, Overlays& views,
              const std::vector<std::string>& order, Lanes& lanes, const AppSources::Ptr& sources,
              int by);

}  // namespace Acts
