#include "shell/gtk/hot_keys.h"

#include <gdk/gdk.h>
#include <gdk/gdkx.h>
#include <keybinder.h>

#include <string>

#include "base/lang.h"
#include "base/log.h"

namespace {
constexpr const char* kToggle = "<Ctrl><Alt>P";
constexpr const char* kFind = "<Ctrl><Alt>F";
}  // namespace

HotKeys::HotKeys(std::function<void()> toggle, std::function<void()> find)
    : toggleWindow(std::move(toggle)), findAnywhere(std::move(find)) {
  GdkDisplay* display = gdk_display_get_default();
  if (!display || !GDK_IS_X11_DISPLAY(display)) {
    Log::note(Lang::pick("global hot keys need X11; Ctrl+Alt+P and Ctrl+Alt+F work only from "
                         "the window's menu here",
                         "מקשים גלובליים דורשים X11; כאן Ctrl+Alt+P ו־Ctrl+Alt+F פועלים רק "
                         "מתפריט החלון"));
    return;
  }
  keybinder_init();
  auto run = +[](const char*, void* action) { (*static_cast<std::function<void()>*>(action))(); };
  std::string refused;
  if (keybinder_bind(kToggle, run, &toggleWindow))
    ++held;
  else
    refused = "Ctrl+Alt+P";
  if (keybinder_bind(kFind, run, &findAnywhere))
    ++held;
  else
    refused += std::string(refused.empty() ? "" : ", ") + "Ctrl+Alt+F";
  if (!refused.empty())
    Log::note(Lang::pick("global hot key taken by another program: ",
                         "מקש גלובלי תפוס בידי תוכנה אחרת: ") +
              refused);
}

HotKeys::~HotKeys() {
  if (held == 0) return;
  keybinder_unbind_all(kToggle);
  keybinder_unbind_all(kFind);
}
