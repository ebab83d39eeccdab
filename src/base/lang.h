#pragma once
// The interface language: "he" or "en", fixed at first use.

#include <string>

namespace Lang {

/// `VELMO_LANG`, else the setting "velmo.lang" (each only when exactly "he" or "en"), else
/// the system's first preferred language (LANGUAGE, LC_ALL, LC_MESSAGES, LANG), where
/// "he…" or "iw…" gives "he".
std::string code();
bool hebrew();
/// Holds a new language ("he" or "en"; others and the current one are ignored) and stores
/// it as "velmo.lang"; false when nothing changed.
bool set(const std::string& code);
/// The text in the interface language.
inline const char* pick(const char* english, const char* hebrewText) {
  return hebrew() ? hebrewText : english;
}

/// Resolution from explicit inputs (empty = absent); the rule behind `code`.
std::string resolve(const std::string& envOverride, const std::string& setting,
                    const std::string& systemPreferred);
/// The system's first preferred language code from the locale variables ("" when none).
std::string systemPreferred();

}  // namespace Lang
