#include <cstdio>
#include <cstring>
#include <string>

#include "app/list_command.h"
#include "app/main.h"

int velmoMain(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::puts("usage: velmo [--list | --serve [--port N] [--no-open]]");
      return 0;
    }
    if (std::strcmp(argv[i], "--list") == 0) return runList();
  }
  std::fputs("Velmo: nothing to run yet\n", stderr);
  return 1;
}
