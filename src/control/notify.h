#pragma once
// Desktop notifications for prompts that wait: one per question, after the minimum wait,
// with a button per option, a reply field where the prompt takes free text, and "open";
// one reminder with sound after ten minutes; taken away once the prompt has been off the
// screen for 4 seconds. A click answers through the gate. What is on show is remembered
// in the private state folder, so a restart adopts it instead of posting it again.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/queue.h"
#include "control/gate.h"
#include "control/notifier.h"
#include "terminals/picker.h"
#include "terminals/terminal.h"

class Notify : public std::enable_shared_from_this<Notify> {
 public:
  /// One question that has been on screen.
  struct Seen {
    Clock::Time first = 0;
    std::optional<Clock::Time> posted;  ///< when its latest notification went out
    bool reposted = false;              ///< the reminder went out
    std::optional<Clock::Time> missingSince;
    uint32_t serverID = 0;  ///< the notification on show; 0 when none (failed, dismissed)
    std::string server;     ///< the server that showed it
    std::string tty;
    std::string sid;
  };

  /// What notifications reach of other subsystems; tests replace them.
  struct Hooks {
    std::function<std::vector<Terminal>()> terminals;
    /// Whether Velmo is typing into the tty right now.
    std::function<bool(const std::string& tty)> answering;
    std::function<nlohmann::json(const Terminal& term, const std::string& expect,
                                 const std::string& option, const std::string& text,
                                 const std::string& via, const Control::Authorize& authorize)>
        answer;
    /// Where answers run (they block for seconds); default: the shared pool.
    std::function<void(Job)> background;
    /// The thread that owns the window, for opening a session; default: the caller's.
    std::function<void(Job)> main;
    /// Whether this Velmo is the one that notifies (another running Velmo may be); none:
    /// always.
    std::function<bool()> owning;

    static Hooks live();
  };

  /// The minimum waits the menu offers, in seconds.
  static constexpr int kWaitChoices[] = {0, 30, 60, 120, 300};

  static std::shared_ptr<Notify> make(std::shared_ptr<Notifier> notifier,
                                      Hooks hooks = Hooks::live());
  ~Notify();
  Notify(const Notify&) = delete;
  Notify& operator=(const Notify&) = delete;

  /// Asks for the server, traces what it found and adopts the notifications an earlier run
  /// left on show. Runs once; the first tick runs it when nobody did.
  void setUp();
  /// Brings notifications up to date with the terminals and the prompts of the latest screen
  /// read. Called by the state feed on its queue after each fresh look at the terminals.
  void tick(const std::vector<Terminal>& terms, const std::vector<Terminals::Picker>& pickers);
  /// A short informational notification.
  void fyi(const std::string& text);
  /// A line in notify.log.
  void trace(const std::string& text);
  /// Set by the application: open that session and show the window (called on `main`).
  void onOpen(std::function<void(const std::string& sessionID)> hook);

  /// The questions seen now, by question id (tests and diagnostics).
  std::map<std::string, Seen> seen() const;

  /// "authorized" when a notification server answered at set-up, "unavailable" when none
  /// did, "unknown" before; the state file shows it.
  static std::string authorization();
  /// The instance the application runs (none until installed).
  static std::shared_ptr<Notify> shared();
  static void install(std::shared_ptr<Notify> notify);

  /// notify.log and notifications.json in the private state folder.
  static std::string logPath();
  static std::string storePath();

 private:
  Notify(std::shared_ptr<Notifier> notifier, Hooks hooks);
  void listen();
  void setUpLocked();
  /// Whether this Velmo notifies (the others only watch).
  bool owns() const;
  void post(const Terminals::Picker& picker, const Terminal& term, const std::string& qid,
            bool again, Seen& s);
  void retract(const std::string& qid, const Seen& s);
  void save();
  void respond(uint32_t id, const std::string& action, const std::string& text, bool reply);
  void closed(uint32_t id);

  std::shared_ptr<Notifier> notifier;
  Hooks hooks;
  mutable std::mutex lock;  ///< guards everything below; held through a tick
  bool ready = false;       ///< a server answered
  bool setUpDone = false;
  std::map<std::string, Seen> questions;
  std::string savedText;  ///< what notifications.json holds, so an unchanged tick writes nothing
  std::function<void(const std::string&)> openHook;
};
