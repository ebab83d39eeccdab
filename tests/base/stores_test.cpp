#include "base/stores.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "base/caches.h"
#include "base/files.h"
#include "base/settings.h"
#include "support/home.h"

namespace {

nlohmann::json onDisk(const std::string& path) {
  return nlohmann::json::parse(Files::read(path).value_or(""), nullptr, false);
}

}  // namespace

TEST(Stores, ProcessesChangingOneStoreAtOnceLoseNothing) {
  ScopedHome home;
  const std::string path = home.path() + "/shared.json";
  constexpr int kWriters = 4;
  constexpr int kChanges = 40;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      bool ok = true;
      for (int n = 0; n < kChanges; ++n)
        ok = Stores::update(path,
                            [&](nlohmann::json& s) {
                              s["count"] = s.value("count", 0) + 1;
                              s["w" + std::to_string(w) + "-" + std::to_string(n)] = n;
                              return true;
                            }) &&
             ok;
      ::_exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto store = onDisk(path);
  ASSERT_TRUE(store.is_object());
  // Every change was made to what the one before left: none was written over.
  EXPECT_EQ(store.value("count", 0), kWriters * kChanges);
  EXPECT_EQ(store.size(), static_cast<size_t>(kWriters * kChanges + 1));
}

TEST(Stores, AStoreThatCannotBeReadIsKeptAsideAndAFolderIsLeftAlone) {
  ScopedHome home;
  const std::string path = home.write("damaged.json", "{\"a\": \"kept\", broken");
  EXPECT_TRUE(Stores::read(path).empty());
  EXPECT_TRUE(Stores::update(path, [](nlohmann::json& s) {
    s["b"] = "new";
    return true;
  }));
  EXPECT_EQ(onDisk(path), (nlohmann::json{{"b", "new"}}));
  std::string aside;
  auto entries = Files::list(home.path()).value_or(std::vector<Files::Entry>{});
  for (const auto& e : entries)
    if (e.name.rfind("damaged.json.unreadable-", 0) == 0) aside = e.path;
  ASSERT_FALSE(aside.empty()) << "the damaged store was not kept";
  EXPECT_EQ(Files::read(aside), "{\"a\": \"kept\", broken");

  // A folder by the store's name is not the store: nothing replaces it.
  const std::string folder = home.path() + "/folder.json";
  ASSERT_TRUE(Files::makeDirectories(folder));
  EXPECT_FALSE(Stores::update(folder, [](nlohmann::json& s) {
    s["x"] = 1;
    return true;
  }));
  EXPECT_TRUE(Files::isDirectory(folder));

  // A change that changes nothing writes nothing; a new store is owner-only.
  const std::string fresh = home.path() + "/fresh.json";
  EXPECT_FALSE(Stores::update(fresh, [](nlohmann::json&) { return false; }));
  EXPECT_FALSE(Files::exists(fresh));
  EXPECT_TRUE(Stores::update(fresh, [](nlohmann::json& s) {
    s["x"] = 1;
    return true;
  }));
  struct stat st {};
  ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Stores, AKeptReadingFollowsAnotherWritersFileOfTheSameSize) {
  ScopedHome home;
  const std::string path = home.write("kept.json", R"({"relayAskPct":60})");
  Stores::Kept kept("test store");
  EXPECT_EQ(kept.get(path)->value("relayAskPct", 0), 60);
  // Same size, and likely the same coarse time: still another file.
  Files::writeAtomic(path, R"({"relayAskPct":65})");
  EXPECT_EQ(kept.get(path)->value("relayAskPct", 0), 65);
  ::unlink(path.c_str());
  EXPECT_TRUE(kept.get(path)->empty());
}

TEST(Settings, AChangeKeepsWhatAnotherVelmoWroteSinceThisOneRead) {
  ScopedHome home;
  Settings::reload();
  Settings::set("notifyOn", false);
  EXPECT_FALSE(Settings::flag("notifyOn"));  // read, and kept in memory
  // Another Velmo on this home changes a key of its own.
  const std::string file = home.path() + "/.config/velmo/settings.json";
  auto other = onDisk(file);
  other["relayAskPct"] = 80;
  ASSERT_TRUE(Files::writeAtomic(file, other.dump()));
  EXPECT_EQ(Settings::number("relayAskPct", 0), 80) << "another Velmo's change is not seen";

  Settings::set("searchQuery", "login");
  auto now = onDisk(file);
  EXPECT_EQ(now.value("relayAskPct", 0), 80) << "this Velmo's write lost the other's change";
  EXPECT_EQ(now.value("notifyOn", true), false);
  EXPECT_EQ(now.value("searchQuery", ""), "login");

  // A change of one key works from its value on disk; null removes it.
  EXPECT_TRUE(Settings::update("relayAskPct", [](nlohmann::json& v) {
    v = v.get<int>() + 5;
    return true;
  }));
  EXPECT_EQ(Settings::number("relayAskPct", 0), 85);
  Settings::set("searchQuery", nullptr);
  EXPECT_FALSE(onDisk(file).contains("searchQuery"));
  Settings::reload();
}
