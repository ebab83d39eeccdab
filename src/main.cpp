#include "app/main.h"

#include "search/search_command.h"

int main(int argc, char** argv) {
  int status = 0;
  if (searchCommand(argc, argv, status)) return status;
  return velmoMain(argc, argv);
}
