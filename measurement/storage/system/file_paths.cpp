#include "measurement/storage/system/file_paths.h"

#include "measurement/engine/measurement_errors.h"
#include "measurement/engine/monitor.h"
#include "platform/paths.h"
#include "platform/user_defaults.h"

namespace {

constexpr const char* kMeasurementFolder = "Voraza/Measurement";

}  // namespace

std::string APMApplicationSupportFilePath(const std::string& fileName) {
  if (fileName.empty()) return {};
  auto folders = platform::applicationSupportDirectories();
  if (folders.empty()) {
    APMMeasurement::monitor()->logWithLevel(
        2, 19001, "NSSearchPath for ApplicationSupport directory is empty");
    return {};
  }
  std::string folder = platform::appendingPathComponent(folders.back(), kMeasurementFolder);
  return platform::appendingPathComponent(folder, fileName);
}

std::string APMApplicationSupportPlistPath(const std::string& name) {
  if (name.empty()) return {};
  const bool hasExtension = platform::pathExtension(name) == "plist";
  return APMApplicationSupportFilePath(hasExtension ? name
                                                    : platform::appendingPathExtension(name, "plist"));
}

std::string APMPreferencesPlistPath(const std::string& suiteName) {
  if (suiteName.empty()) return {};
  auto folders = platform::libraryDirectories();
  if (folders.empty()) {
    APMMeasurement::monitor()->logWithLevel(2, 19000,
                                            "NSSearchPath for Library directory is empty");
    return {};
  }
  std::string folder = platform::appendingPathComponent(folders.back(), "Preferences");
  return platform::appendingPathComponent(folder,
                                          platform::appendingPathExtension(suiteName, "plist"));
}

bool APMCreateFolderForFile(const std::string& filePath, platform::ErrorRef* error) {
  return platform::createDirectories(platform::deletingLastPathComponent(filePath), error, 0700);
}

bool APMExcludeFromBackup(const std::string& path, platform::ErrorRef* error) {
  return platform::setExcludedFromBackup(path, true, error);
}

bool APMDeleteFile(const std::string& path, platform::ErrorRef* error) {
  if (path.empty()) {
    APMSetError(error, 1, "Received empty path for deleting file");
    return false;
  }
  return platform::removeItem(path, error);
}

bool APMDeleteDatabaseFiles(const std::string& path, platform::ErrorRef* error) {
  bool deleted = true;
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    const std::string file = path + suffix;
    if (platform::fileExists(file) && !APMDeleteFile(file, error)) deleted = false;
  }
  return deleted;
}

bool APMMigrateSuitePlistToApplicationSupport(const std::string& suiteName) {
  if (suiteName.empty()) return false;
  const std::string oldPath = APMPreferencesPlistPath(suiteName);
  const std::string newPath = APMApplicationSupportPlistPath(suiteName);
  if (oldPath.empty() || newPath.empty()) return false;

  // Whatever is left of the suite in the app's preferences goes, so that
  // nothing writes the old file again.
  auto forgetSuite = [&] {
    platform::UserDefaults::removeSuite(suiteName);
    return true;
  };
  if (!platform::fileExists(oldPath)) return forgetSuite();
  if (platform::isDirectory(oldPath)) return false;
  if (!platform::fileExists(newPath)) {
    if (!APMCreateFolderForFile(newPath)) return false;
    if (!platform::moveItem(oldPath, newPath)) return false;
    return forgetSuite();
  }
  if (platform::isDirectory(newPath)) return false;
  if (!APMDeleteFile(oldPath)) return false;
  return forgetSuite();
}
