#pragma once
// A page that records every call and answers each at once (or holds the answers).

#include <string>
#include <vector>

#include "page/page_host.h"

class RecordingPage final : public PageHost {
 public:
  struct Call {
    std::string name;
    std::vector<std::string> args;
    Done done;
  };

  void call(const std::string& name, const std::vector<std::string>& args, Done done) override {
    calls.push_back({name, args, done});
    if (!hold && done) done(Reply{failWith, nullptr});
  }
  bool attached() const override { return present; }

  /// The calls of one function, in order.
  std::vector<Call> named(const std::string& name) const {
    std::vector<Call> out;
    for (const auto& c : calls)
      if (c.name == name) out.push_back(c);
    return out;
  }
  /// The payload of the last paint, parsed.
  nlohmann::json lastPaint() const {
    auto paints = named("paint");
    return paints.empty() ? nlohmann::json() : nlohmann::json::parse(paints.back().args.at(0));
  }

  std::vector<Call> calls;
  bool hold = false;         ///< keep the answers; the test calls `done` itself
  std::string failWith;      ///< answer every call with this error
  bool present = true;
};
