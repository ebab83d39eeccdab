#include "base/version.h"

#ifndef VELMO_VERSION
#error "VELMO_VERSION comes from the build (project VERSION in CMakeLists.txt)"
#endif

namespace Version {

const char* number() {
  return VELMO_VERSION;
}

std::string line(const std::string& program) {
  return program + " " + number();
}

}  // namespace Version
