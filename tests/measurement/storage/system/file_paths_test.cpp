#include "measurement/storage/system/file_paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "measurement/engine/measurement_errors.h"
#include "platform/paths.h"
#include "platform/user_defaults.h"
#include "tests/support/files.h"
#include "tests/support/recording_monitor.h"
#include "tests/support/temp_container.h"

namespace {

namespace fs = std::filesystem;

void write(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << text;
}

TEST(FilePathsTest, PathsOfTheMeasurementFiles) {
  TempContainer container;
  const std::string folder = container.applicationSupport() + "/Voraza/Measurement";
  EXPECT_EQ(APMApplicationSupportFilePath("voraza-app-measurement.sql"),
            folder + "/voraza-app-measurement.sql");
  EXPECT_EQ(APMApplicationSupportPlistPath("settings"), folder + "/settings.plist");
  EXPECT_EQ(APMApplicationSupportPlistPath("settings.plist"), folder + "/settings.plist");
  EXPECT_EQ(APMPreferencesPlistPath("com.voraza.vuv.measurement"),
            container.preferences() + "/com.voraza.vuv.measurement.plist");
  RecordingMonitor monitor;
  EXPECT_EQ(APMApplicationSupportFilePath(""), "");
  EXPECT_EQ(APMApplicationSupportPlistPath(""), "");
  EXPECT_EQ(APMPreferencesPlistPath(""), "");
  EXPECT_TRUE(monitor.logs().empty());
}

TEST(FilePathsTest, MissingSearchPathsAreLogged) {
  RecordingMonitor monitor;
  platform::setContainerDirectory("");
  EXPECT_EQ(APMApplicationSupportFilePath("a.sql"), "");
  EXPECT_EQ(APMApplicationSupportPlistPath("a"), "");
  EXPECT_EQ(APMPreferencesPlistPath("suite"), "");
  EXPECT_FALSE(APMMigrateSuitePlistToApplicationSupport("suite"));
  platform::setContainerDirectory(std::nullopt);
  ASSERT_TRUE(monitor.contains(19001));
  EXPECT_EQ(monitor.first(19001).level, 2);
  EXPECT_EQ(monitor.first(19001).message, "NSSearchPath for ApplicationSupport directory is empty");
  ASSERT_TRUE(monitor.contains(19000));
  EXPECT_EQ(monitor.first(19000).level, 2);
  EXPECT_EQ(monitor.first(19000).message, "NSSearchPath for Library directory is empty");
}

TEST(FilePathsTest, DeleteAndExcludeFromBackup) {
  TempContainer container;
  platform::ErrorRef error;
  EXPECT_FALSE(APMDeleteFile("", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), kAPMMeasurementErrorDomain);
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(error->localizedDescription(), "Received empty path for deleting file");
  EXPECT_FALSE(APMDeleteFile(""));  // no out-parameter: same answer

  const std::string file = container.path() + "/db.sql";
  error.reset();
  EXPECT_FALSE(APMExcludeFromBackup(file, &error));
  EXPECT_TRUE(error);
  write(file, "x");
  EXPECT_TRUE(APMExcludeFromBackup(file));
  EXPECT_TRUE(platform::isExcludedFromBackup(file));
  EXPECT_TRUE(APMDeleteFile(file));
  error.reset();
  EXPECT_FALSE(APMDeleteFile(file, &error));
  EXPECT_TRUE(error);
}

TEST(FilePathsTest, MigrationMovesTheOldFileOnce) {
  TempContainer container;
  const std::string suite = "com.voraza.vuv.measurement";
  const std::string oldPath = APMPreferencesPlistPath(suite);
  const std::string newPath = APMApplicationSupportPlistPath(suite);
  write(oldPath, "old settings");
  // A live suite object must not keep (or write back) the moved values.
  auto defaults = platform::UserDefaults::suite(suite);
  ASSERT_TRUE(defaults);

  EXPECT_TRUE(APMMigrateSuitePlistToApplicationSupport(suite));
  EXPECT_FALSE(fs::exists(oldPath));
  EXPECT_EQ(fileText(newPath), "old settings");
  // A second run finds no old file and still answers YES.
  EXPECT_TRUE(APMMigrateSuitePlistToApplicationSupport(suite));
  EXPECT_EQ(fileText(newPath), "old settings");

  // With files at both paths the one in Application Support is kept.
  write(oldPath, "stale");
  EXPECT_TRUE(APMMigrateSuitePlistToApplicationSupport(suite));
  EXPECT_FALSE(fs::exists(oldPath));
  EXPECT_EQ(fileText(newPath), "old settings");
  EXPECT_TRUE(defaults->dictionaryRepresentation().empty());

  EXPECT_FALSE(APMMigrateSuitePlistToApplicationSupport(""));
}

TEST(FilePathsTest, MigrationRefusesDirectories) {
  TempContainer container;
  const std::string suite = "s";
  fs::create_directories(APMPreferencesPlistPath(suite));
  EXPECT_FALSE(APMMigrateSuitePlistToApplicationSupport(suite));
  fs::remove(APMPreferencesPlistPath(suite));

  write(APMPreferencesPlistPath(suite), "old");
  fs::create_directories(APMApplicationSupportPlistPath(suite));
  EXPECT_FALSE(APMMigrateSuitePlistToApplicationSupport(suite));
  EXPECT_EQ(fileText(APMPreferencesPlistPath(suite)), "old");  // nothing lost
}

}  // namespace
