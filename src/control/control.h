#pragma once
// The local control protocol: one JSON object in, one out, per connection on a Unix
// socket only this user can reach. A coordinating agent session reads the terminals,
// answers their routine questions and sends them messages; what only the owner may
// decide needs his click in Velmo (a one-time token) or his answer in the coordinating
// session's own conversation.

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "base/clock.h"
#include "control/gate.h"

namespace Control {

// ---- what the gate, tokens and relay evidence share (guarded by `lock()`) ----

/// The one lock of the Control namespace: typed-into times, grants, used relays.
std::mutex& lock();
/// Remembers that Velmo typed an answer into the session now.
void markTyped(const std::string& sessionID);

// ---- the answers log ----

/// dir/answers.log in the private state folder.
std::string logFile();
/// Writes one answer record; `note` is the authoriser's note or the refusal message.
void log(const std::string& who, const Terminal& term, const Terminals::Picker& picker,
         const std::string& option, const std::string& note, const std::string& result,
         const std::string& via, const std::string& why = "");
/// Adds "time" and appends the record as one line with sorted keys.
void appendLog(nlohmann::json record);

// ---- approval tokens and relay evidence ----

/// One approval token's binding.
struct Grant {
  std::string tty;
  std::string qid;
  std::string label;
  Clock::Time until = 0;
};
constexpr double kGrantSeconds = 600;
/// A new token (32 hexadecimal digits from the system's random source) bound to the tty,
/// question and option label for 600 seconds; "" when no random bytes could be had.
std::string mint(const std::string& tty, const std::string& qid, const std::string& label);
/// Uses the token up when it is known, unexpired and bound to exactly these; a failed
/// try leaves it in place.
bool redeem(const std::string& token, const std::string& tty, const std::string& qid,
            const std::string& label);
/// Whether the coordinating session's own conversation (`fromSID`) shows, within the last
/// 30 minutes, the owner answering a question with `needle`; the evidence (naming the
/// transcript entry), used up by this call. None for Velmo's own typing, for the target
/// session itself, and for evidence used before.
std::optional<std::string> relayEvidence(const std::string& fromSID, const std::string& needle,
                                         const std::string& target);

// ---- commands ----

/// The command switch; callable without a socket.
nlohmann::json handle(const nlohmann::json& request);
/// Every waiting item of the fresh snapshot with its session's id, name, slot and status.
nlohmann::json openQuestions();
nlohmann::json answerCommand(const nlohmann::json& request);
nlohmann::json requestClick(const nlohmann::json& request);
nlohmann::json sendCommand(const nlohmann::json& request);

// ---- the approval sheet (hooks set by the application) ----

/// Shows the approval sheet with the title and detail and calls `reply` once with true
/// (approve) or false (decline). Called from any thread; the hook itself goes to the
/// main thread.
using AskOrlen = std::function<void(const std::string& title, const std::string& detail,
                                    std::function<void(bool)> reply)>;
void setAskOrlen(AskOrlen hook);
/// Takes the approval sheet down, which declines it. Any thread, like `AskOrlen`.
void setCancelAsk(std::function<void()> hook);

// ---- the socket ----

constexpr size_t kRequestCap = 65536;
/// velmo-HOST.sock in the private state folder: one per machine, for a home shared between
/// machines (a Unix socket reaches only the processes of its own machine).
std::string socketPath();

/// The control socket while it is open: bound at `socketPath()`, listening, its accept
/// thread "velmo.control" running. The Velmo that owns the terminals keeps one; dropping
/// it stops answering at once.
class Listener {
 public:
  /// Opens the socket (0600); none, with the reason in `why`, when another process
  /// answers there or it cannot be made. `mayAnswer` is asked before every request, on
  /// the connection's thread; a request it refuses gets an error and nothing is done. A
  /// connection may still be served after the listener is gone, so `mayAnswer` must hold
  /// nothing that dies with its caller (the centre hands a weak pointer).
  static std::unique_ptr<Listener> open(std::function<bool()> mayAnswer, std::string* why);
  /// Stops accepting, waits for the accept thread and removes the socket file while its
  /// path still leads to this socket.
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  /// Whether the socket's path still leads to this socket (a tidy-up may remove it).
  bool standing() const;

 private:
  Listener() = default;
  std::string path;
  int fd = -1;
  int wake[2] = {-1, -1};  ///< written to stop the accept thread
  dev_t dev = 0;
  ino_t ino = 0;
  std::thread accepting;
};

/// Whether some process accepts connections on the socket now (without waiting).
bool answered();
/// One exchange on a connected socket, which it closes: another user's peer gets no
/// reply; a request is cut at 64 KiB; a request `mayAnswer` refuses gets an error.
void serve(int fd, const std::function<bool()>& mayAnswer = {});

}  // namespace Control
