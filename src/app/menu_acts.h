#pragma once
// What the menu's items do beyond opening views: the settings they flip, the login item,
// the claim on Markdown files, the language, About, and "Back to the rack". Each names
// in its signature what it touches.

#include "app/conversation.h"
#include "app/document_pane.h"
#include "app/follow.h"
#include "app/lanes.h"
#include "app/reports.h"
#include "app/search_state.h"
#include "app/view.h"

namespace MenuActs {

/// Stores the negation of a true-unless-false setting; the two relay switches also say so
/// in the hygiene log ("menu: auto-continue on"), and the notification switch tells the
/// state file at once.
Follow toggleSetting(const std::string& key);
/// Stores the hand-off threshold; the rack's levels change with it.
Follow setRelayLine(int pct);
/// Stores the delay before a question is notified.
Follow setNotifyWait(int seconds);
/// Writes the autostart entry, or removes it when it is there.
Follow toggleLoginItem();
/// Writes Velmo's application entry and makes it the default for Markdown files, off the
/// main thread; says how it went in one line.
void claimMarkdown(Lanes& lanes);
/// Switches between Hebrew and English and says that the change shows after a restart.
void flipLanguage(Reports& reports);
void about(Reports& reports);
/// The reader, else search, else the conversation; the overlays stay.
Follow goBack(Overlays& views, SearchState& search, Conversation& conversation);

}  // namespace MenuActs
