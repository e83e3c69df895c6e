#include "platform/keychain.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/paths.h"
#include "platform/property_list.h"
#include "tests/support/files.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_keychain.h"

namespace {

using platform::Bytes;
using platform::KeychainItem;
using platform::KeychainQuery;
using platform::KeychainStatus;

Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

KeychainItem item(const std::string& value) {
  return KeychainItem{"app-1", "_pfo", "_pfo", platform::kSecAttrAccessibleAlwaysThisDeviceOnly,
                      bytes(value)};
}

KeychainQuery query() { return KeychainQuery{"app-1", "_pfo", std::nullopt, std::nullopt}; }

void expectEveryCallRefused() {
  EXPECT_EQ(platform::keychainCopyMatching(query()), KeychainStatus::Refused);
  EXPECT_EQ(platform::keychainAdd(item("4")), KeychainStatus::Refused);
  EXPECT_EQ(platform::keychainUpdate(query(), bytes("4")), KeychainStatus::Refused);
  EXPECT_EQ(platform::keychainDelete(query()), KeychainStatus::Refused);
}

TEST(KeychainTest, FolderAndItemsAreTheUsersAloneWhateverTheUmask) {
  for (mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0277}}) {
    TempKeychain keychain;
    ScopedUmask umask(mask);
    // Nothing is made by a lookup.
    EXPECT_EQ(platform::keychainCopyMatching(query()), KeychainStatus::ItemNotFound);
    EXPECT_FALSE(platform::fileExists(keychain.path()));
    ASSERT_EQ(platform::keychainAdd(item("3")), KeychainStatus::Success) << mask;
    EXPECT_EQ(modeOf(keychain.path()), 0700u) << mask;
    ASSERT_EQ(keychain.entries().size(), 1u);
    EXPECT_EQ(modeOf(keychain.path() + "/" + keychain.entries()[0]), 0600u) << mask;
  }
  // A folder of ours opened up by hand is closed again at the next call.
  TempKeychain keychain;
  ASSERT_EQ(platform::keychainAdd(item("3")), KeychainStatus::Success);
  ASSERT_EQ(::chmod(keychain.path().c_str(), 0755), 0);
  EXPECT_EQ(platform::keychainCopyMatching(query()), KeychainStatus::Success);
  EXPECT_EQ(modeOf(keychain.path()), 0700u);
}

TEST(KeychainTest, AddLookUpUpdateAndDelete) {
  TempKeychain keychain;
  ASSERT_EQ(platform::keychainAdd(item("3")), KeychainStatus::Success);
  EXPECT_EQ(platform::keychainAdd(item("4")), KeychainStatus::DuplicateItem);
  KeychainItem found;
  ASSERT_EQ(platform::keychainCopyMatching(query(), &found), KeychainStatus::Success);
  EXPECT_EQ(found, item("3"));

  // Every attribute the query names must match; the others may be anything.
  struct Case {
    std::optional<std::string> generic, accessibility;
    KeychainStatus status;
  } cases[] = {
      {"_pfo", platform::kSecAttrAccessibleAlwaysThisDeviceOnly, KeychainStatus::Success},
      {"other", std::nullopt, KeychainStatus::ItemNotFound},
      {std::nullopt, "", KeychainStatus::ItemNotFound},
  };
  for (const Case& c : cases) {
    const KeychainQuery narrowed{"app-1", "_pfo", c.generic, c.accessibility};
    EXPECT_EQ(platform::keychainCopyMatching(narrowed), c.status);
    EXPECT_EQ(platform::keychainUpdate(narrowed, bytes("9")), c.status);
  }
  ASSERT_EQ(platform::keychainCopyMatching(query(), &found), KeychainStatus::Success);
  EXPECT_EQ(found, item("9"));  // the update kept the attributes

  // Services and accounts are told apart, even where their texts run together.
  EXPECT_EQ(platform::keychainCopyMatching({"app-1_", "pfo", {}, {}}),
            KeychainStatus::ItemNotFound);
  EXPECT_EQ(platform::keychainCopyMatching({"app-2", "_pfo", {}, {}}),
            KeychainStatus::ItemNotFound);

  EXPECT_EQ(platform::keychainDelete(query()), KeychainStatus::Success);
  EXPECT_EQ(platform::keychainDelete(query()), KeychainStatus::ItemNotFound);
  EXPECT_EQ(platform::keychainUpdate(query(), bytes("1")), KeychainStatus::ItemNotFound);
  EXPECT_TRUE(keychain.entries().empty());
}

TEST(KeychainTest, RefusesWhatCannotBeKeptAsGiven) {
  TempKeychain keychain;
  KeychainItem large = item(std::string(platform::kMaxKeychainItemSize, 'x'));
  KeychainItem noService = item("3");
  noService.service.clear();
  KeychainItem nul = item("3");
  nul.account = std::string("a\0b", 3);
  KeychainItem notUtf8 = item("3");
  notUtf8.genericAttribute = "\xFF";
  for (const KeychainItem& refused : {large, noService, nul, notUtf8}) {
    EXPECT_EQ(platform::keychainAdd(refused), KeychainStatus::InvalidParameter);
  }
  EXPECT_TRUE(keychain.entries().empty());
  // Binary values are kept byte for byte.
  ASSERT_EQ(platform::keychainAdd(item(std::string("\0\xFF", 2))), KeychainStatus::Success);
  KeychainItem found;
  ASSERT_EQ(platform::keychainCopyMatching(query(), &found), KeychainStatus::Success);
  EXPECT_EQ(found.data, bytes(std::string("\0\xFF", 2)));
}

TEST(KeychainTest, DamagedItemIsNoItemAndAnAddReplacesIt) {
  TempKeychain keychain;
  ASSERT_EQ(platform::keychainAdd(item("3")), KeychainStatus::Success);
  const std::string file = keychain.path() + "/" + keychain.entries()[0];
  for (const std::string& damage :
       {std::string("not a property list"), std::string(),
        std::string("<?xml version=\"1.0\"?><plist><dict><key>service</key>"
                    "<string>app-1</string></dict></plist>")}) {
    std::ofstream(file, std::ios::trunc) << damage;
    EXPECT_EQ(platform::keychainCopyMatching(query()), KeychainStatus::ItemNotFound);
    EXPECT_EQ(platform::keychainUpdate(query(), bytes("4")), KeychainStatus::ItemNotFound);
    ASSERT_EQ(platform::keychainAdd(item("5")), KeychainStatus::Success);
    KeychainItem found;
    ASSERT_EQ(platform::keychainCopyMatching(query(), &found), KeychainStatus::Success);
    EXPECT_EQ(found.data, bytes("5"));
  }
  std::ofstream(file, std::ios::trunc) << "damaged";
  EXPECT_EQ(platform::keychainDelete(query()), KeychainStatus::Success);
  EXPECT_TRUE(keychain.entries().empty());
}

// Runs `write` in a child process that the file size limit kills with
// SIGXFSZ in the middle of writing an item, before its rename.
void killedWhileWriting(const std::function<void()>& write) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const struct rlimit noCore = {0, 0};
    const struct rlimit fileSize = {4096, 4096};
    setrlimit(RLIMIT_CORE, &noCore);
    setrlimit(RLIMIT_FSIZE, &fileSize);
    write();
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
}

// The files of the keychain folder that hold `base64` (line breaks and
// indentation aside).
size_t filesHolding(const TempKeychain& keychain, const std::string& base64) {
  size_t count = 0;
  for (const std::string& name : keychain.entries()) {
    std::string text = fileText(keychain.path() + "/" + name);
    std::erase_if(text, [](char c) { return c == '\n' || c == '\t' || c == ' '; });
    if (text.find(base64) != std::string::npos) ++count;
  }
  return count;
}

TEST(KeychainTest, KilledWritesLeaveNoCopyOfADeletedValue) {
  TempKeychain keychain;
  // 3,000 bytes whose base64 form repeats "c2VjcmV0" ("secret") or
  // "aGlkZGVu" ("hidden"); a killed write holds its first 4,096 bytes.
  std::string secret, hidden;
  for (int i = 0; i < 500; ++i) {
    secret += "secret";
    hidden += "hidden";
  }
  const std::string secretBase64 = "c2VjcmV0c2VjcmV0c2VjcmV0c2VjcmV0";
  const std::string hiddenBase64 = "aGlkZGVuaGlkZGVuaGlkZGVuaGlkZGVu";
  KeychainItem other = item(secret);
  other.service = "app-2";
  // A first write killed before its rename is all there is of the item;
  // a killed write's file goes at the next call, young as it is, whichever
  // item that call is for.
  killedWhileWriting([&] { platform::keychainAdd(item(secret)); });
  ASSERT_EQ(filesHolding(keychain, secretBase64), 1u);
  EXPECT_EQ(platform::keychainDelete(query()), KeychainStatus::ItemNotFound);
  EXPECT_TRUE(keychain.entries().empty());
  killedWhileWriting([&] { platform::keychainAdd(other); });
  ASSERT_EQ(filesHolding(keychain, secretBase64), 1u);
  EXPECT_EQ(platform::keychainCopyMatching(query()), KeychainStatus::ItemNotFound);
  EXPECT_TRUE(keychain.entries().empty());

  // A write still running, whose lock is held, keeps its file through
  // updates and deletes; once it is gone, its file goes at the next call.
  ASSERT_EQ(platform::keychainAdd(item("3")), KeychainStatus::Success);
  const std::string itemFile = keychain.entries()[0];
  {
    const std::string running = keychain.path() + "/" + platform::temporaryFilePrefix(itemFile) + "LIVE01";
    LockedFile write(running, "being written");
    ASSERT_EQ(platform::keychainUpdate(query(), bytes("4")), KeychainStatus::Success);
    ASSERT_EQ(platform::keychainDelete(query()), KeychainStatus::Success);
    EXPECT_EQ(fileText(running), "being written");
  }
  EXPECT_EQ(platform::keychainCopyMatching(query()), KeychainStatus::ItemNotFound);
  EXPECT_TRUE(keychain.entries().empty());

  // An update leaves no copy of the values it replaced either.
  ASSERT_EQ(platform::keychainAdd(item("3")), KeychainStatus::Success);
  killedWhileWriting([&] { platform::keychainUpdate(query(), bytes(hidden)); });
  ASSERT_EQ(filesHolding(keychain, hiddenBase64), 1u);
  ASSERT_EQ(platform::keychainUpdate(query(), bytes("4")), KeychainStatus::Success);
  EXPECT_EQ(filesHolding(keychain, hiddenBase64), 0u);
  killedWhileWriting([&] { platform::keychainUpdate(query(), bytes(hidden)); });
  EXPECT_EQ(platform::keychainDelete(query()), KeychainStatus::Success);
  EXPECT_TRUE(keychain.entries().empty());
}

// Processes writing one item at once: each write's temporary file is its
// own while it lasts, so every call lands and the item stays whole.
TEST(KeychainTest, ConcurrentWritersInManyProcessesAllSucceed) {
  TempKeychain keychain;
  ASSERT_EQ(platform::keychainAdd(item("start")), KeychainStatus::Success);
  constexpr int kProcesses = 4, kWrites = 100;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int failures = 0;
      for (int i = 0; i < kWrites; ++i) {
        const std::string value = std::to_string(p) + "-" + std::to_string(i);
        failures += platform::keychainUpdate(query(), bytes(value)) != KeychainStatus::Success;
        failures += platform::keychainCopyMatching(query()) != KeychainStatus::Success;
      }
      _exit(std::min(failures, 255));
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    EXPECT_TRUE(waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "status " << status << " (exit code: failed calls)";
  }
  KeychainItem found;
  ASSERT_EQ(platform::keychainCopyMatching(query(), &found), KeychainStatus::Success);
  const std::string last(found.data.begin(), found.data.end());
  EXPECT_TRUE(last.ends_with("-" + std::to_string(kWrites - 1))) << last;
  EXPECT_EQ(keychain.entries().size(), 1u);
}

TEST(KeychainTest, FollowsNoSymbolicLink) {
  namespace fs = std::filesystem;
  // The keychain folder itself is a link to a folder holding a valid item.
  {
    TempKeychain keychain;
    ASSERT_EQ(platform::keychainAdd(item("3")), KeychainStatus::Success);
    const std::string elsewhere = keychain.parent() + "/elsewhere";
    fs::rename(keychain.path(), elsewhere);
    fs::create_directory_symlink(elsewhere, keychain.path());
    expectEveryCallRefused();
    ASSERT_EQ(fs::remove(keychain.path()), true);
    fs::rename(elsewhere, keychain.path());
    KeychainItem found;
    ASSERT_EQ(platform::keychainCopyMatching(query(), &found), KeychainStatus::Success);
    EXPECT_EQ(found.data, bytes("3"));  // untouched through the link
  }
  // An item's file is a link to a valid item file elsewhere.
  {
    TempKeychain keychain;
    ASSERT_EQ(platform::keychainAdd(item("3")), KeychainStatus::Success);
    const std::string file = keychain.path() + "/" + keychain.entries()[0];
    const std::string target = keychain.parent() + "/target";
    fs::rename(file, target);
    fs::create_symlink(target, file);
    const std::string before = fileText(target);
    expectEveryCallRefused();
    EXPECT_EQ(fileText(target), before);
    EXPECT_TRUE(fs::is_symlink(file));
  }
  // A file where the folder should be.
  {
    TempKeychain keychain;
    std::ofstream(keychain.path()) << "x";
    expectEveryCallRefused();
  }
}

TEST(KeychainTest, FolderComesFromOverrideThenEnvironmentOutsideTheContainer) {
  ScopedEnv keychain("APM_KEYCHAIN_DIR", nullptr);
  ScopedEnv container("APM_CONTAINER_DIR", "/apps/one");
  {
    ScopedEnv data("XDG_DATA_HOME", "/data/home");
    EXPECT_EQ(platform::keychainDirectory(), "/data/home/apm-keychain");
    ScopedEnv set("APM_KEYCHAIN_DIR", "/keys");
    EXPECT_EQ(platform::keychainDirectory(), "/keys");
    platform::setKeychainDirectory("/override");
    EXPECT_EQ(platform::keychainDirectory(), "/override");
    platform::setKeychainDirectory(std::nullopt);
  }
  ScopedEnv data("XDG_DATA_HOME", nullptr);
  ScopedEnv home("HOME", "/home/someone");
  EXPECT_EQ(platform::keychainDirectory(), "/home/someone/.local/share/apm-keychain");
  ScopedEnv tilde("APM_KEYCHAIN_DIR", "~/keys");
  EXPECT_EQ(platform::keychainDirectory(), "/home/someone/keys");
}

}  // namespace
