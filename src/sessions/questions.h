#pragma once
// Open questions and plan approvals found in a session's transcript: the newest
// question-tool or plan call that has no tool result yet.

#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"

struct AskChoice {
  std::string label;
  std::string detail;
};

struct AskPart {
  std::string question;
  std::string header;
  bool multi = false;
  std::vector<AskChoice> choices;
};

struct PendingQuestion {
  std::string sid;
  std::string toolID;  ///< the tool call's id: names the question across scans
  std::string kind;    ///< "ask" or "plan"
  std::vector<AskPart> parts;
  std::string plan;
  Clock::Time since = 0;
  std::string context;  ///< the agent's words just before the question
};

namespace Questions {

/// The session's open question; no value when there is none or it cannot be read.
std::optional<PendingQuestion> pending(const std::string& sessionID);

}  // namespace Questions
