#include "spend/spend_command.h"

#include <cstdio>
#include <string>

#include "base/lang.h"
#include "base/log.h"
#include "spend/account.h"
#include "spend/board.h"

namespace Spend {

nlohmann::json spendReport() {
  nlohmann::json models = nlohmann::json::object();
  for (const auto& [model, c] : allModels()) {
    models[model] = {{"input", c.input},   {"output", c.output},   {"read", c.read},
                     {"write5", c.write5}, {"write1h", c.write1h}, {"calls", c.calls}};
  }
  return {{"board", board({})}, {"models", models}};
}

int spendCommand() {
  refresh(true);
  Figures f = account().figures();
  ::Log::note(std::to_string(f.read) + Lang::pick(" of ", " מתוך ") + std::to_string(f.logs) +
              Lang::pick(" transcripts read, ", " תמלילים נקראו, ") + std::to_string(f.bytes) +
              Lang::pick(" bytes", " בתים"));
  // Model and project names come from files; replace rather than fail on bad bytes.
  std::string text = spendReport().dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  if (std::puts(text.c_str()) == EOF || std::fflush(stdout) != 0) {
    ::Log::note(Lang::pick("could not write the spend report", "לא ניתן לכתוב את דוח הצריכה"));
    return 1;
  }
  return 0;
}

}  // namespace Spend
