#pragma once
// The question or plan approval a session's transcript holds open: the newest call of the
// agent's question tool or plan tool that has no tool result yet.

#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"

struct AskChoice {
  std::string label;
  std::string detail;  ///< the option's description
};

struct AskPart {
  std::string question;
  std::string header;  ///< the short tag shown above the question
  bool multi = false;  ///< several options may be chosen
  std::vector<AskChoice> choices;
};

struct PendingQuestion {
  std::string sid;
  std::string toolID;          ///< id of the tool call: names the question across scans
  std::string kind;            ///< "ask" or "plan"
  std::vector<AskPart> parts;  ///< empty for "plan"
  std::string plan;            ///< the plan text for "plan"
  Clock::Time since = Clock::kDistantPast;
  std::string context;  ///< the agent's words just before the question (≤ 2000 characters)
};

namespace Questions {

/// The session's open question; no value when there is none or the transcript is unreadable.
std::optional<PendingQuestion> pending(const std::string& sessionID);

}  // namespace Questions
