#pragma once
// One Velmo per user and machine does what nobody asked for at that moment: the chores that
// type into terminals (renames, hand-offs, idle close), the notifications and the answers
// on the control socket. Two running Velmos would otherwise each type the same command
// into the same terminal and post every question twice.
//
// The one that holds the claim, a lock on a file in the private state folder, is that
// Velmo; the lock dies with its process, and another Velmo takes it at its next scan. The
// others are viewers: they paint and answer what their user picks, nothing more.
//
// A lock is held on a file, not on its name. When the lock file is removed (a tidy-up) a
// newcomer makes a new one and locks it while the old holder still holds the old one. So:
// - the holder checks at every scan, and before every act of its own (`sure`), that the
//   name still leads to the file it locked; when it does not, it stops acting at once and
//   gives the claim up, then takes it again like any other Velmo;
// - the owner wears a badge nobody else wears: it alone answers on the control socket, and
//   stops answering before it lets go. A Velmo that got the lock does not start acting
//   while anything answers there; it waits, holding the lock, until the one before it has
//   let go. So there is never a moment with two owners.
// Every change of hands is a line in the claim's log, written by the owner before it acts
// and after it stopped, so the log shows the owners one after the other.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "base/file_lock.h"

class Claim {
 public:
  /// Who owns the terminals, as the lock file says.
  struct Holder {
    int64_t pid = 0;
    std::string host;
    std::string started;  ///< when that Velmo started, ISO-8601
  };
  enum class Standing {
    owner,    ///< this Velmo types and notifies
    viewer,   ///< another Velmo holds the lock
    waiting,  ///< this Velmo holds the lock; the one before it still answers
    failed,   ///< the lock could not be taken for another reason than another holder
  };
  struct State {
    Standing standing = Standing::viewer;
    bool fresh = false;             ///< became the owner at this call
    std::string why;                ///< failed: the reason, for the user
    std::optional<Holder> holder;   ///< not the owner: who is, as far as the lock file says
    bool answers = false;           ///< not the owner: whether the control socket answers
  };
  /// What the owner alone keeps up: `up` at every scan while it owns (it may have been
  /// removed meanwhile), `down` when it lets go; `heard` says whether anybody wears it.
  struct Badge {
    std::function<void()> up;
    std::function<void()> down;
    std::function<bool()> heard;
  };

  /// The claim on `lock`, its changes of hands logged to `log`; by default the private
  /// state folder's owner-HOST.lock and owner-HOST.log.
  explicit Claim(std::string lock = defaultPath(), std::string log = logPath());
  /// Lets go (logged) when this Velmo still owns.
  ~Claim();
  Claim(const Claim&) = delete;
  Claim& operator=(const Claim&) = delete;

  /// Set once, before the first `take`.
  void wear(Badge badge);

  /// At every scan: checks the lock this Velmo holds, or takes it when it is free.
  State take();
  /// Whether this process owns, as last seen (any thread).
  bool held() const { return holding.load(); }
  /// Whether it owns right now: held, and the lock file's name still leads to the file it
  /// locked (any thread; before every act only the owner does). A removed lock file stops
  /// the owner at once; the next `take` lets go properly.
  bool sure();

  static std::string defaultPath();
  static std::string logPath();
  /// The holder a lock file's text names, if it names one.
  static std::optional<Holder> holderIn(const std::string& text);

 private:
  void letGo(const std::string& why);
  void own(State& status);
  State notOwner(Standing standing, std::string why);
  void journal(const std::string& what) const;

  std::string path;
  std::string logFile;
  std::string started;
  Badge badge;
  std::mutex lock;
  std::optional<FileLock> file;
  std::atomic<bool> holding{false};  ///< owns and may act (cleared the moment `sure` fails)
  bool wearing = false;              ///< took the claim and has not let go yet
  std::string lastFault;  ///< the failure said last, so it is said once
};
