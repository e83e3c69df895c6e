#include "platform/paths.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/bundle.h"
#include "tests/support/files.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_container.h"

namespace {

void touch(const std::string& path) { std::ofstream(path) << "x"; }

TEST(PathsTest, ContainerRootComesFromOverrideThenEnvironment) {
  ScopedEnv container("APM_CONTAINER_DIR", nullptr);
  {
    ScopedEnv data("XDG_DATA_HOME", "/data/home");
    EXPECT_EQ(platform::containerDirectory(),
              std::string("/data/home/") + platform::Bundle::main()->bundleIdentifier());
    ScopedEnv set("APM_CONTAINER_DIR", "/apps/one");
    EXPECT_EQ(platform::containerDirectory(), "/apps/one");
    EXPECT_EQ(platform::libraryDirectories(), std::vector<std::string>{"/apps/one/Library"});
    EXPECT_EQ(platform::applicationSupportDirectories(),
              std::vector<std::string>{"/apps/one/Library/Application Support"});
    EXPECT_EQ(platform::preferencesDirectories(),
              std::vector<std::string>{"/apps/one/Library/Preferences"});
  }
  {
    ScopedEnv data("XDG_DATA_HOME", nullptr);
    ScopedEnv home("HOME", "/home/someone");
    EXPECT_EQ(platform::containerDirectory(),
              "/home/someone/.local/share/" + platform::Bundle::main()->bundleIdentifier());
  }
  // An empty override means "no container": every search path is empty.
  platform::setContainerDirectory("");
  EXPECT_TRUE(platform::libraryDirectories().empty());
  EXPECT_TRUE(platform::applicationSupportDirectories().empty());
  EXPECT_TRUE(platform::preferencesDirectories().empty());
  platform::setContainerDirectory(std::nullopt);
}

TEST(PathsTest, PathTextHelpers) {
  EXPECT_EQ(platform::appendingPathComponent("/a/", "/b"), "/a/b");
  EXPECT_EQ(platform::appendingPathComponent("", "b"), "b");
  EXPECT_EQ(platform::deletingLastPathComponent("/a/b.plist"), "/a");
  EXPECT_EQ(platform::deletingLastPathComponent("/a"), "/");
  EXPECT_EQ(platform::deletingLastPathComponent("a"), "");
  EXPECT_EQ(platform::pathExtension("/x.y/name.plist"), "plist");
  EXPECT_EQ(platform::pathExtension("/x.y/name"), "");
  EXPECT_EQ(platform::pathExtension("/x/.hidden"), "");
  EXPECT_EQ(platform::appendingPathExtension("/x/name", "plist"), "/x/name.plist");
}

TEST(PathsTest, FileOperationsReportPosixErrors) {
  TempContainer container;
  const std::string folder = container.applicationSupport() + "/Voraza/Measurement";
  ASSERT_TRUE(platform::createDirectories(folder));
  EXPECT_TRUE(platform::createDirectories(folder));  // already there
  EXPECT_TRUE(platform::isDirectory(folder));

  const std::string file = folder + "/a.plist";
  touch(file);
  EXPECT_TRUE(platform::fileExists(file));
  EXPECT_FALSE(platform::isDirectory(file));
  // The error names the folder that could not be made, and why.
  const std::string longName(300, 'n');
  struct Case {
    std::string path;
    std::string description;
    int code;
  } cases[] = {
      {file + "/sub", "Cannot create the folder " + file + ": a file that is not a folder is in its place",
       EEXIST},
      {folder + "/" + longName + "/sub",
       "Cannot create the folder " + folder + "/" + longName + ": File name too long", ENAMETOOLONG},
  };
  platform::ErrorRef error;
  for (const Case& c : cases) {
    error.reset();
    EXPECT_FALSE(platform::createDirectories(c.path, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), platform::kPOSIXErrorDomain);
    EXPECT_EQ(error->code(), c.code);
    EXPECT_EQ(error->localizedDescription(), c.description);
  }

  // A move never replaces what is at the destination.
  const std::string other = folder + "/b.plist";
  touch(other);
  error.reset();
  EXPECT_FALSE(platform::moveItem(file, other, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), EEXIST);
  EXPECT_TRUE(platform::removeItem(other));
  EXPECT_TRUE(platform::moveItem(file, other));
  EXPECT_FALSE(platform::fileExists(file));

  error.reset();
  EXPECT_FALSE(platform::removeItem(file, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), ENOENT);
  EXPECT_EQ(error->userInfo().at(platform::kFilePathKey), platform::Object(file));

  // Removing a folder takes its contents along.
  EXPECT_TRUE(platform::removeItem(container.applicationSupport()));
  EXPECT_FALSE(platform::fileExists(other));
}

TEST(PathsTest, ExcludedFromBackupMark) {
  TempContainer container;
  const std::string file = container.path() + "/db.sql";
  platform::ErrorRef error;
  EXPECT_FALSE(platform::setExcludedFromBackup(file, true, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), ENOENT);
  touch(file);
  EXPECT_TRUE(platform::setExcludedFromBackup(file, true));
  EXPECT_TRUE(platform::isExcludedFromBackup(file));
  EXPECT_TRUE(platform::setExcludedFromBackup(file, true));  // setting twice is fine
  EXPECT_TRUE(platform::setExcludedFromBackup(file, false));
  EXPECT_FALSE(platform::isExcludedFromBackup(file));
}

TEST(PathsTest, AtomicWritesReplaceEntriesAndNeverWriteThroughLinks) {
  TempContainer container;
  const std::string target = container.path() + "/target";
  const std::string link = container.path() + "/link";
  std::ofstream(target) << "kept";
  std::filesystem::create_symlink(target, link);
  const mode_t old = ::umask(0);
  ASSERT_TRUE(platform::writeFileAtomically(link, "new"));
  ::umask(old);
  EXPECT_FALSE(std::filesystem::is_symlink(link));
  EXPECT_EQ(fileText(link), "new");
  EXPECT_EQ(fileText(target), "kept");
  struct stat info {};
  ASSERT_EQ(::stat(link.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);  // whatever the umask

  // Without replacing, an entry already there stays, whatever it is.
  const int folder = ::open(container.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(folder, 0);
  std::filesystem::remove(link);
  std::filesystem::create_symlink(target, link);
  for (const std::string& name : {std::string("target"), std::string("link")}) {
    platform::ErrorRef error;
    EXPECT_FALSE(platform::writeFileAtomicallyAt(folder, name, "lost", 0640, false, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), EEXIST);
  }
  EXPECT_EQ(fileText(target), "kept");
  ASSERT_TRUE(platform::writeFileAtomicallyAt(folder, "fresh", "made", 0640, false));
  EXPECT_EQ(fileText(container.path() + "/fresh"), "made");
  ASSERT_EQ(::stat((container.path() + "/fresh").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  // Only names within the folder.
  EXPECT_FALSE(platform::writeFileAtomicallyAt(folder, "../escape", "x", 0600, true));
  ::close(folder);
  // No temporary file is left by any of these writes.
  EXPECT_EQ(folderEntries(container.path()), (std::vector<std::string>{"fresh", "link", "target"}));
}

}  // namespace
