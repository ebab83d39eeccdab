#include <array>

#include "base/lang.h"
#include "base/text.h"
#include "sessions/state.h"

namespace Sessions {

namespace {
struct Label {
  const char* name;
  const char* english;
  const char* hebrew;
};

constexpr std::array kToolLabels{
    Label{"Bash", "running a command", "מריץ פקודה"},
    Label{"Read", "reading a file", "קורא קובץ"},
    Label{"Write", "writing a file", "כותב קובץ"},
    Label{"Edit", "editing code", "עורך קוד"},
    Label{"MultiEdit", "editing code", "עורך קוד"},
    Label{"NotebookEdit", "editing code", "עורך קוד"},
    Label{"Grep", "searching the code", "מחפש בקוד"},
    Label{"Glob", "searching the code", "מחפש בקוד"},
    Label{"Task", "starting an agent", "מפעיל סוכן"},
    Label{"Agent", "starting an agent", "מפעיל סוכן"},
    Label{"Workflow", "running a workflow", "מריץ תזמור"},
    Label{"WebFetch", "searching the web", "מחפש ברשת"},
    Label{"WebSearch", "searching the web", "מחפש ברשת"},
    Label{"TodoWrite", "updating tasks", "מעדכן משימות"},
    Label{"TaskCreate", "updating tasks", "מעדכן משימות"},
    Label{"TaskUpdate", "updating tasks", "מעדכן משימות"},
    Label{"Skill", "loading a skill", "טוען סקיל"},
    Label{"Artifact", "publishing an artifact", "מפרסם תוצר"},
    Label{"", "thinking", "חושב"},
};

// Order matters: the browser and screen tools are also "mcp__" tools.
constexpr std::array kToolPrefixes{
    Label{"mcp__claude-in-chrome", "working in the browser", "עובד בדפדפן"},
    Label{"mcp__computer-use", "working on screen", "עובד על המסך"},
    Label{"mcp__", "calling an outside system", "פונה למערכת חיצונית"},
};

constexpr std::array kModelLabels{
    Label{"opus", "Opus", "אופוס"},
    Label{"sonnet", "Sonnet", "סונט"},
    Label{"haiku", "Haiku", "הייקו"},
    Label{"fable", "Fable", "פייבל"},
};
}  // namespace

std::string hebrewTool(const std::string& toolName) {
  for (const Label& l : kToolLabels)
    if (toolName == l.name) return Lang::pick(l.english, l.hebrew);
  for (const Label& l : kToolPrefixes)
    if (Text::startsWith(toolName, l.name)) return Lang::pick(l.english, l.hebrew);
  return toolName;
}

std::string modelLabel(const std::string& model) {
  std::string name = Text::lower(model);
  for (const Label& l : kModelLabels)
    if (Text::contains(name, l.name)) return Lang::pick(l.english, l.hebrew);
  return "";
}

}  // namespace Sessions
