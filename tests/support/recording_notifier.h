#pragma once
// A notification server that records what was posted and closed, and lets the test play
// the user: invoke an action, send a reply, dismiss.

#include <mutex>
#include <vector>

#include "control/notifier.h"

class RecordingNotifier final : public Notifier {
 public:
  struct Shown {
    uint32_t id;
    Request request;
  };

  Posted post(const Request& request) override {
    std::lock_guard<std::mutex> guard(lock);
    if (!server.reached) return {0, server.error};
    posts.push_back({nextID, request});
    return {nextID++, ""};
  }
  bool close(uint32_t id) override {
    std::lock_guard<std::mutex> guard(lock);
    closes.push_back(id);
    return server.reached;
  }
  Capabilities capabilities() override {
    std::lock_guard<std::mutex> guard(lock);
    ++asked;
    return server;
  }
  void listen(Events replacement) override {
    std::lock_guard<std::mutex> guard(lock);
    events = std::move(replacement);
  }

  // The user's side; like the real server's signals, never from inside a call above.
  void invoke(uint32_t id, const std::string& action) { current().action(id, action); }
  void reply(uint32_t id, const std::string& text) { current().reply(id, text); }
  void dismiss(uint32_t id) { current().closed(id, 2); }

  /// No server on the bus: every post fails with the reason.
  void goAway(const std::string& why = "The name org.freedesktop.Notifications was not provided") {
    std::lock_guard<std::mutex> guard(lock);
    server = {false, {}, "", why};
  }
  void setCapabilities(std::set<std::string> names, std::string who = ":1.7") {
    std::lock_guard<std::mutex> guard(lock);
    server = {true, std::move(names), std::move(who), ""};
  }

  std::vector<Shown> posts;
  std::vector<uint32_t> closes;
  int asked = 0;
  uint32_t nextID = 1;

 private:
  Events current() {
    std::lock_guard<std::mutex> guard(lock);
    return events;
  }
  std::mutex lock;
  Capabilities server{true, {"actions", "body", "inline-reply"}, ":1.7", ""};
  Events events;
};
