#pragma once
// The private state file: a machine-readable picture of every open terminal for other
// tools of the same user (a coordinating agent session above all), rewritten in the
// background whenever the picture changes, with secrets taken out of every free text.
// The same picture answers the control socket's "state", and the pass that writes it is
// the moment notifications are brought up to date.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "base/queue.h"
#include "sessions/questions.h"
#include "sessions/state.h"
#include "terminals/answer.h"
#include "terminals/picker.h"
#include "terminals/terminal.h"

namespace StateFeed {

// ---- owner-only files ----

/// ~/.claude/velmo-state.
std::string dir();
/// Creates the folder (and its parents) and sets it to 0700 every time; false on failure.
bool ensureDir();
/// The state file, dir()/sessions.json.
std::string stateFile();
/// Writes the whole file beside itself first (".NAME.PID.tmp", 0600) and renames it over.
bool writePrivate(const std::string& data, const std::string& path);
/// Appends the text and a line feed (unless it ends with one) to an owner-only file.
bool appendPrivate(const std::string& text, const std::string& path);

// ---- texts and questions ----

/// Takes token-like runs and the values after "token", "password", "secret"… out of a
/// free text; paths survive.
std::string redact(const std::string& text);
/// 16 hexadecimal digits naming a screen question on its terminal; the same prompt on the
/// same terminal always gets the same id.
std::string questionID(const Terminals::Picker& picker);
/// Typing's check that the prompt on screen is still the question `qid`.
Terminals::Meant showing(const std::string& qid);
/// "review", "plan", "permission" or "ask".
std::string kind(const Terminals::Picker& picker);
/// Whether the owner must decide personally: "orlen-click" (only his click may answer),
/// "orlen" (his decision, by words of the question) or "routine".
std::string gate(const std::string& kind, const Terminals::Picker& picker);
/// The parts of a pending question: header, question, multiSelect and options, redacted.
nlohmann::json parts(const PendingQuestion& question);

// ---- the snapshot ----

/// What one session entry is built from besides its terminal.
struct EntryInputs {
  std::optional<SessionState> state;
  std::string userName;  ///< the user's own name for the session, "" when none
  std::optional<int64_t> windowId;
  bool screenVisible = false;               ///< the last pass read this tty's screen
  std::optional<Terminals::Picker> picker;  ///< the prompt that pass found on it
  std::optional<PendingQuestion> pending;   ///< the transcript's open question
  int64_t relayWindow = 0;  ///< the setting "relayWindow"; below 1: the model's own window
};

/// The waiting item of a prompt on screen (`pending` adds the parts of an ask).
nlohmann::json describe(const Terminals::Picker& picker, int index,
                        const std::optional<PendingQuestion>& pending);
/// The waiting item of an open question whose terminal's screen could not be read.
nlohmann::json describeUnseen(const PendingQuestion& question, int index);
/// One session's entry.
nlohmann::json entry(const Terminal& term, const EntryInputs& in);
/// The whole picture; `fresh` reads the screens now, else the last screen pass is used.
nlohmann::json snapshot(bool fresh);
/// A text that changes whenever anything the snapshot shows may have changed, built from
/// cached state only.
std::string cheapSignature();

// ---- the feed's queue ----

/// Asks for a write soon; pokes within 0.3 s give one pass. Any thread.
void poke();
/// Runs work on the feed's serial queue (notifications serialise with it).
void onQueue(Job work);

/// Called in every pass, on the feed's queue, when the screens were readable: the
/// terminals and the prompts of the last screen pass (notifications are updated here).
using Tick = std::function<void(const std::vector<Terminal>& terms,
                                const std::vector<Terminals::Picker>& pickers)>;
void setTick(Tick tick);
/// The notification authorisation state shown under "notifications" ("unknown" unset).
void setAuthorization(std::function<std::string()> status);

/// Where the 0.3 s delay of a pass is scheduled: the job must later be run on the feed's
/// queue with `onQueue`. Tests install a manual one; nullptr restores the timer thread.
using After = std::function<void(double seconds, Job job)>;
void installAfter(After after);

/// Waits until every job queued on the feed so far has run (tests).
void drain();
/// Passes run so far (tests).
uint64_t passes();

}  // namespace StateFeed

namespace UserNames {

/// The user's own names for sessions (session id → name); empty until a source is set.
std::map<std::string, std::string> all();
/// The name for one session, "" when none (or for an empty id).
std::string of(const std::string& sessionID);
/// Installs the source of the names (the names store once it exists).
void install(std::function<std::map<std::string, std::string>()> source);

}  // namespace UserNames
