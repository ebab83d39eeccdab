#pragma once
// What must happen after an act changed the application's state. Acts and the work they
// start say it instead of calling the scan themselves, and the application applies it
// once, so an act that changes three things still costs one scan.

/// Flags, combined with `|`. A `Follow` left unused is a scan or a paint that never comes,
/// so the compiler says so.
enum class [[nodiscard]] Follow : unsigned {
  nothing = 0,
  rescan = 1,    ///< scan again; an unchanged payload is not sent
  repaint = 2,   ///< forget the last paint and scan, so the page is painted even if unchanged
  readChat = 4,  ///< read the open conversation now and paint it without waiting for the scan
};

constexpr Follow operator|(Follow a, Follow b) {
  return static_cast<Follow>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}

/// Whether `f` asks for `flag`.
constexpr bool asks(Follow f, Follow flag) {
  return (static_cast<unsigned>(f) & static_cast<unsigned>(flag)) != 0;
}
