#include "app/main.h"

#include <string_view>

#include "app/search_command.h"
#include "spend/spend_command.h"

int main(int argc, char** argv) {
  // `--spend` stands alone: one refresh of the token account, printed, and done.
  if (argc == 2 && std::string_view(argv[1]) == "--spend") return Spend::spendCommand();
  // `--search TEXT`: one refresh of the index, the search printed, and done.
  int status = 0;
  if (searchCommand(argc, argv, status)) return status;
  return velmoMain(argc, argv);
}
