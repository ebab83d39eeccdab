#include "app/list_command.h"

#include <cstdio>

nlohmann::json listTerminals() { return {{"terminals", nlohmann::json::array()}}; }

int runList() {
  std::puts(listTerminals().dump(2).c_str());
  return 0;
}
