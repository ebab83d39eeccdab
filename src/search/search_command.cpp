#include "search/search_command.h"

#include <cstdio>
#include <cstring>

#include "base/lang.h"
#include "base/log.h"
#include "search/index.h"
#include "search/search.h"

int runSearch(const std::string& query) {
  Index::refresh(true);
  // Texts from transcripts are not guaranteed to be valid UTF-8; replace rather than fail.
  std::string text =
      Search::payload(query).dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  if (std::puts(text.c_str()) == EOF || std::fflush(stdout) != 0) {
    Log::note(Lang::pick("could not write the search results", "לא ניתן לכתוב את תוצאות החיפוש"));
    return 1;
  }
  return 0;
}

bool searchCommand(int argc, char** argv, int& status) {
  if (argc < 2) return false;
  const std::string first = argv[1];
  if (first.rfind("--search=", 0) == 0) {
    if (argc > 2) {
      Log::note(
          Lang::pick("--search takes one text; quote it", "--search מקבל טקסט אחד; יש לצטט אותו"));
      status = 2;
      return true;
    }
    status = runSearch(first.substr(std::strlen("--search=")));
    return true;
  }
  if (first != "--search") return false;
  // The text is the next argument as it stands, even "-m" or "--help": it is searched for,
  // never read as an option.
  if (argc != 3) {
    Log::note(Lang::pick("usage: velmo --search TEXT", "שימוש: velmo --search TEXT"));
    status = 2;
    return true;
  }
  status = runSearch(argv[2]);
  return true;
}
