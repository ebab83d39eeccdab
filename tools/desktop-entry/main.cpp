// velmo-desktop-entry PROGRAM: prints the application entry for Velmo installed as PROGRAM.
// The install writes its output as share/applications/velmo.desktop, so the entry a package
// ships and the one Velmo writes itself when it claims Markdown are the same text.
// Built for the install only; not installed.

#include <cstdio>
#include <string>

#include "app/desktop_entries.h"

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] != '/') {
    std::fputs("usage: velmo-desktop-entry /ABSOLUTE/PATH/OF/velmo\n", stderr);
    return 64;
  }
  std::string text = DesktopEntries::entry(argv[1], DesktopEntries::markdownTypes());
  if (text.empty()) {
    std::fputs("velmo-desktop-entry: no desktop entry can name that path\n", stderr);
    return 1;
  }
  std::fputs(text.c_str(), stdout);
  return 0;
}
