#include "app/search_command.h"

#include <cstdio>
#include <cstring>

#include "base/lang.h"
#include "base/log.h"
#include "page/panel.h"
#include "search/index.h"
#include "search/search.h"
#include "search/smart.h"

SmartSearch::Options smartOptions() {
  SmartSearch::Options options = SmartSearch::defaults();
  options.fileRow = Panel::workRow;
  return options;
}

int runSearch(const std::string& query, bool smart) {
  Index::refresh(true);
  nlohmann::json payload = Search::payload(query);
  bool failed = false;
  if (smart) {
    SmartSearch::Result found = SmartSearch::run(query, smartOptions());
    failed = !found.rows;
    if (found.rows) {
      payload["smart"] = *found.rows;
    } else {
      payload["smartFailed"] = true;
      payload["smartReason"] = found.error;
    }
  }
  // Texts from transcripts are not guaranteed to be valid UTF-8; replace rather than fail.
  std::string text = payload.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  if (std::puts(text.c_str()) == EOF || std::fflush(stdout) != 0) {
    Log::note(Lang::pick("could not write the search results", "לא ניתן לכתוב את תוצאות החיפוש"));
    return 1;
  }
  return failed ? 3 : 0;
}

bool searchCommand(int argc, char** argv, int& status) {
  if (argc < 2) return false;
  const std::string first = argv[1];
  const bool joined = first.rfind("--search=", 0) == 0;
  if (!joined && first != "--search") return false;
  // The text is the next argument as it stands, even "-m" or "--help": it is searched for,
  // never read as an option. Only what follows the text may be "--smart".
  const int textAt = joined ? 1 : 2;
  const bool smart = argc == textAt + 2 && std::strcmp(argv[textAt + 1], "--smart") == 0;
  if (argc != textAt + 1 && !smart) {
    Log::note(joined ? Lang::pick("--search takes one text; quote it",
                                  "--search מקבל טקסט אחד; יש לצטט אותו")
                     : Lang::pick("usage: velmo --search TEXT [--smart]",
                                  "שימוש: velmo --search TEXT [--smart]"));
    status = 2;
    return true;
  }
  status = runSearch(joined ? first.substr(std::strlen("--search=")) : argv[2], smart);
  return true;
}
