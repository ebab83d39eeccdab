#include "shell/desktop_linux.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <string>

#include "base/files.h"
#include "base/log.h"

namespace Desktop {
namespace {

constexpr int kBusTimeoutMs = 3000;

// Starts xdg-open and does not wait: some handlers keep it running until they close.
bool xdgOpen(const std::string& target) {
  const gchar* argv[] = {"xdg-open", target.c_str(), nullptr};
  GError* error = nullptr;
  bool ok = g_spawn_async(nullptr, const_cast<gchar**>(argv), nullptr,
                          static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL |
                                                   G_SPAWN_STDERR_TO_DEV_NULL),
                          nullptr, nullptr, nullptr, &error);
  if (!ok) {
    Log::note(std::string("xdg-open could not start: ") + (error ? error->message : "?"));
    g_clear_error(&error);
  }
  return ok;
}

bool showItems(const std::string& path) {
  GError* error = nullptr;
  gchar* uri = g_filename_to_uri(path.c_str(), nullptr, &error);
  if (!uri) {
    g_clear_error(&error);
    return false;
  }
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) {
    g_clear_error(&error);
    g_free(uri);
    return false;
  }
  GVariantBuilder uris;
  g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
  g_variant_builder_add(&uris, "s", uri);
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1", "org.freedesktop.FileManager1",
      "ShowItems", g_variant_new("(ass)", &uris, ""), nullptr, G_DBUS_CALL_FLAGS_NONE, kBusTimeoutMs,
      nullptr, &error);
  bool ok = reply != nullptr;
  if (reply) g_variant_unref(reply);
  g_clear_error(&error);
  g_object_unref(bus);
  g_free(uri);
  return ok;
}

// GIO finds the entry by its id among the applications folders and writes the choice into
// the user's mimeapps.list; where GIO cannot (an index built before the entry was written),
// xdg-mime writes the same list.
bool makeDefaultFor(const std::string& entryPath, const std::string& mimeType) {
  std::string id = entryPath.substr(entryPath.find_last_of('/') + 1);
  if (GDesktopAppInfo* info = g_desktop_app_info_new(id.c_str())) {
    GError* error = nullptr;
    bool ok = g_app_info_set_as_default_for_type(G_APP_INFO(info), mimeType.c_str(), &error);
    g_clear_error(&error);
    g_object_unref(info);
    if (ok) return true;
  }
  const gchar* argv[] = {"xdg-mime", "default", id.c_str(), mimeType.c_str(), nullptr};
  int status = -1;
  GError* error = nullptr;
  bool ran = g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr,
                          static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL |
                                                   G_SPAWN_STDERR_TO_DEV_NULL),
                          nullptr, nullptr, nullptr, nullptr, &status, &error);
  g_clear_error(&error);
  return ran && g_spawn_check_wait_status(status, nullptr);
}

class Linux final : public Host {
 public:
  bool reveal(const std::string& path) override {
    if (showItems(path)) return true;
    // No file manager on the bus: open the folder that holds the file instead.
    std::string folder = Files::isDirectory(path) ? path : path.substr(0, path.find_last_of('/'));
    return xdgOpen(folder.empty() ? "/" : folder);
  }
  bool open(const std::string& pathOrURL) override { return xdgOpen(pathOrURL); }
  bool makeDefault(const std::string& entryPath, const std::string& mimeType) override {
    return makeDefaultFor(entryPath, mimeType);
  }
};

}  // namespace

std::shared_ptr<Host> linuxHost() { return std::make_shared<Linux>(); }

}  // namespace Desktop
