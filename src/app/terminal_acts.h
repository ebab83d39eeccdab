#pragma once
// Acts that type into terminals, raise them or open new ones. They change no application
// state: the typing runs off the main thread, and a failure comes back as an alert (or, for
// the page's own free-text button, as the page call that button waits for).

#include <string>

#include "app/lanes.h"
#include "app/page_link.h"
#include "app/reports.h"
#include "app/sources.h"

namespace TerminalActs {

/// Answers the prompt on the tty: the text into its free-text row when given, else the
/// option `pick`; says why in an alert when it did not take. Only the question `expect`
/// names (the question id of the card the page drew) is answered, never one that replaced
/// it; without one nothing is typed, the alert offers the terminal and the rack is read
/// again.
Follow answer(Lanes& lanes, Reports& reports, const std::string& tty, const std::string& pick,
              const std::string& text, const std::string& expect = "");
/// Types the text into the prompt's free-text row and tells the page that sent it how it
/// went (freeDone); `expect` as for `answer`.
void answerFree(Lanes& lanes, PageLink& page, const std::string& tty, const std::string& text,
                const std::string& expect = "");
/// Raises the terminal that runs the session, or reopens the session in its folder.
void resume(Lanes& lanes, Reports& reports, const AppSources::Ptr& sources, const std::string& sid);
/// Raises the tty, or without one the terminal of the open conversation.
void raise(Lanes& lanes, const AppSources::Ptr& sources, const std::string& tty,
           const std::string& openSID);
/// Opens a new terminal with the agent.
void newTerminal(Lanes& lanes, Reports& reports);
/// Types the continue word into every terminal that waits for the user.
void wakeAll(Lanes& lanes, const AppSources::Ptr& sources);

/// Whether the text is a plain session id; anything else (a leading "-" above all) could
/// reach the agent as one of its options.
bool plainSessionID(const std::string& sid);

}  // namespace TerminalActs
