// The Linux desktop host against a private D-Bus session bus: a stand-in file manager
// that records ShowItems, and a stand-in xdg-open on PATH for the fallbacks.

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/files.h"
#include "shell/desktop_linux.h"
#include "support/home.h"

namespace {

constexpr const char* kFileManagerXml =
    "<node><interface name='org.freedesktop.FileManager1'>"
    "<method name='ShowItems'><arg type='as' name='uris' direction='in'/>"
    "<arg type='s' name='startupId' direction='in'/></method>"
    "</interface></node>";

// Owns org.freedesktop.FileManager1 on the bus and answers on its own thread.
class FileManager {
 public:
  explicit FileManager(const std::string& address) {
    ready = false;
    worker = std::thread([this, address] { run(address); });
    for (int i = 0; i < 3000 && !ready; ++i) g_usleep(10'000);
  }
  ~FileManager() {
    if (loop) g_main_loop_quit(loop);
    worker.join();
  }
  bool up() const { return ready && owned; }
  std::vector<std::string> shown() {
    std::lock_guard<std::mutex> guard(lock);
    return uris;
  }

 private:
  static void call(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                   GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self) {
    auto* me = static_cast<FileManager*>(self);
    if (std::string(method) == "ShowItems") {
      GVariantIter* iter = nullptr;
      const gchar* startup = nullptr;
      g_variant_get(parameters, "(as&s)", &iter, &startup);
      const gchar* uri = nullptr;
      std::lock_guard<std::mutex> guard(me->lock);
      while (g_variant_iter_loop(iter, "&s", &uri)) me->uris.push_back(uri);
      g_variant_iter_free(iter);
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }

  void run(const std::string& address) {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    loop = g_main_loop_new(context, FALSE);
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (bus) {
      GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(kFileManagerXml, nullptr);
      static const GDBusInterfaceVTable vtable = {call, nullptr, nullptr, {}};
      g_dbus_connection_register_object(bus, "/org/freedesktop/FileManager1", info->interfaces[0], &vtable,
                                        this, nullptr, nullptr);
      GVariant* reply = g_dbus_connection_call_sync(
          bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
          g_variant_new("(su)", "org.freedesktop.FileManager1", 0u), G_VARIANT_TYPE("(u)"),
          G_DBUS_CALL_FLAGS_NONE, 3000, nullptr, nullptr);
      if (reply) {
        guint32 answer = 0;
        g_variant_get(reply, "(u)", &answer);
        owned = answer == 1;  // primary owner
        g_variant_unref(reply);
      }
      ready = true;
      g_main_loop_run(loop);
      g_dbus_connection_close_sync(bus, nullptr, nullptr);
      g_object_unref(bus);
      g_dbus_node_info_unref(info);
    } else {
      ready = true;
    }
    g_main_context_pop_thread_default(context);
    g_main_loop_unref(loop);
    g_main_context_unref(context);
  }

  std::thread worker;
  std::atomic<bool> ready{false};
  std::atomic<bool> owned{false};
  GMainLoop* loop = nullptr;
  std::mutex lock;
  std::vector<std::string> uris;
};

// A private session bus for the test, and xdg-open replaced by a script that records
// what it was asked to open.
class DesktopE2E : public ::testing::Test {
 protected:
  ScopedHome home;
  GTestDBus* bus = nullptr;
  std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  std::string record;

  void SetUp() override {
    bus = g_test_dbus_new(G_TEST_DBUS_NONE);
    g_test_dbus_up(bus);
    std::string bin = home.path() + "/bin";
    record = home.path() + "/opened.txt";
    Files::makeDirectories(bin);
    Files::writeAtomic(bin + "/xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + record + "'\n", 0755);
    ::setenv("PATH", (bin + ":" + oldPath).c_str(), 1);
  }
  void TearDown() override {
    ::setenv("PATH", oldPath.c_str(), 1);
    g_test_dbus_down(bus);
    g_object_unref(bus);
  }
  std::string address() const { return g_test_dbus_get_bus_address(bus); }
  // The stand-in runs detached; wait for its line.
  std::string opened(size_t lines) {
    for (int i = 0; i < 3000; ++i) {
      std::string text = Files::read(record).value_or("");
      if (std::count(text.begin(), text.end(), '\n') >= static_cast<long>(lines)) return text;
      g_usleep(10'000);
    }
    return Files::read(record).value_or("");
  }
};

TEST_F(DesktopE2E, RevealAsksTheFileManagerOverTheBus) {
  FileManager manager(address());
  ASSERT_TRUE(manager.up());
  std::string file = home.write("docs/a b.md", "x");
  EXPECT_TRUE(Desktop::linuxHost()->reveal(file));
  EXPECT_EQ(manager.shown(), (std::vector<std::string>{"file://" + home.path() + "/docs/a%20b.md"}));
  EXPECT_FALSE(Files::exists(record));
}

TEST_F(DesktopE2E, WithoutAFileManagerTheFolderIsOpenedAndOpenUsesXdgOpen) {
  std::string file = home.write("docs/a.md", "x");
  auto host = Desktop::linuxHost();
  EXPECT_TRUE(host->reveal(file));
  EXPECT_EQ(opened(1), home.path() + "/docs\n");
  EXPECT_TRUE(host->open("https://example.org/?q=a b"));
  EXPECT_EQ(opened(2), home.path() + "/docs\nhttps://example.org/?q=a b\n");
}

}  // namespace
