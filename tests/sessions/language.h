#pragma once
// Pins the interface language for one test and restores what was there.

#include <cstdlib>
#include <optional>
#include <string>

#include "base/caches.h"
#include "base/lang.h"

class ScopedLanguage {
 public:
  explicit ScopedLanguage(const char* code) {
    if (const char* old = std::getenv("VELMO_LANG")) previous = old;
    ::setenv("VELMO_LANG", code, 1);
    Caches::emptyAll();
  }
  ~ScopedLanguage() {
    if (previous)
      ::setenv("VELMO_LANG", previous->c_str(), 1);
    else
      ::unsetenv("VELMO_LANG");
    Caches::emptyAll();
  }
  ScopedLanguage(const ScopedLanguage&) = delete;
  ScopedLanguage& operator=(const ScopedLanguage&) = delete;

 private:
  std::optional<std::string> previous;
};
