#pragma once
// The seam to the desktop's notification server: post a notification with action buttons,
// take it away, ask what the server can do, and hear what the user did with it. The D-Bus
// implementation lives in the shell; unit tests install a recording fake.

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

class Notifier {
 public:
  struct Action {
    std::string key;    ///< what comes back when it is invoked: "opt.2", "reply", "open", "default"
    std::string label;  ///< the button's title
    bool textInput = false;   ///< a reply field rather than a button
    std::string sendLabel;    ///< the reply field's button title
    std::string placeholder;  ///< the reply field's empty text
  };

  struct Request {
    std::string summary;
    std::string body;  ///< plain text; the server's markup is escaped by the notifier
    std::vector<Action> actions;
    bool sound = false;                        ///< the default sound; otherwise silent
    bool persistent = false;                   ///< stays until closed instead of expiring
    std::map<std::string, std::string> hints;  ///< further text hints for the server
  };

  struct Posted {
    uint32_t id = 0;    ///< the server's id; 0 when nothing was posted
    std::string error;  ///< why nothing was posted
  };

  struct Capabilities {
    bool reached = false;         ///< a server answered
    std::set<std::string> names;  ///< "actions", "body-markup", "inline-reply", …
    std::string server;           ///< who serves: differs after the server restarted
    std::string error;            ///< why no server answered
  };

  /// What the user did, reported on the notifier's own thread.
  struct Events {
    std::function<void(uint32_t id, const std::string& action)> action;
    std::function<void(uint32_t id, const std::string& text)> reply;
    /// reason: 1 expired, 2 dismissed by the user, 3 closed by a call, 4 other.
    std::function<void(uint32_t id, uint32_t reason)> closed;
  };

  virtual ~Notifier() = default;
  virtual Posted post(const Request& request) = 0;
  virtual bool close(uint32_t id) = 0;
  virtual Capabilities capabilities() = 0;
  /// Replaces the listeners (empty ones stop the reports).
  virtual void listen(Events events) = 0;
};
