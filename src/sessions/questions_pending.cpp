#include "sessions/questions.h"

// Pending questions land with the transcript reader; until then none is known.
namespace Questions {
std::optional<PendingQuestion> pending(const std::string&) { return std::nullopt; }
}  // namespace Questions
