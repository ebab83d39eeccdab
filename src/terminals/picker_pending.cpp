#include "terminals/picker.h"

#include "base/text.h"

// Screen reading lands with terminal automation; until then no prompt is seen.
namespace Terminals {

PickerScan pickers(bool) { return {}; }
std::set<std::string> pickerTTYs() { return {}; }

std::string signature(const Picker& picker) {
  std::vector<std::string> labels;
  for (const auto& o : picker.options) labels.push_back(o.label);
  return std::string(picker.review ? "R|" : "Q|") + picker.question + "|" + Text::join(labels, "|");
}

}  // namespace Terminals
