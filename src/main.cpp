#include "app/main.h"

#include <string_view>

#include "spend/spend_command.h"

int main(int argc, char** argv) {
  // `--spend` stands alone: one refresh of the token account, printed, and done.
  if (argc == 2 && std::string_view(argv[1]) == "--spend") return Spend::spendCommand();
  return velmoMain(argc, argv);
}
