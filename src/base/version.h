#pragma once
// The release number. The build sets it from the one place it is written (the project's
// version in CMakeLists.txt), so the programs, the manual pages and the package agree.

#include <string>

namespace Version {

/// "X.Y.Z".
const char* number();
/// What `PROGRAM --version` prints: the program's name, a blank and the number.
std::string line(const std::string& program);

}  // namespace Version
