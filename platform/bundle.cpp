#include "platform/bundle.h"

#include <unistd.h>

#include <filesystem>
#include <mutex>

#include "platform/paths.h"
#include "platform/property_list.h"

namespace platform {
namespace {

std::mutex bundleMutex;
std::shared_ptr<const Bundle> mainOverride;
std::shared_ptr<const Bundle> libraryOverride;

std::shared_ptr<const Bundle> programBundle() {
  // Built once: the program's folder does not move while it runs.
  static const std::shared_ptr<const Bundle> bundle = [] {
    std::error_code ec;
    auto program = std::filesystem::read_symlink("/proc/self/exe", ec);
    std::string folder = ec ? std::filesystem::current_path(ec).string()
                            : program.parent_path().string();
    auto found = Bundle::bundleWithPath(folder);
    return found ? found
                 : std::make_shared<const Bundle>(folder, Object::Dictionary{},
                                                  std::vector<std::string>{folder});
  }();
  return bundle;
}

}  // namespace

Bundle::Bundle(std::string bundlePath, Object::Dictionary info,
               std::vector<std::string> resourceFolders)
    : path_(std::move(bundlePath)),
      info_(std::move(info)),
      resourceFolders_(std::move(resourceFolders)) {}

std::shared_ptr<const Bundle> Bundle::bundleWithPath(const std::string& folder) {
  if (!isDirectory(folder)) return nullptr;
  Object::Dictionary info;
  std::string infoPath = appendingPathComponent(folder, "Info.plist");
  if (fileExists(infoPath)) {
    Object contents = readPropertyListFile(infoPath);
    if (auto dict = contents.dictionary()) info = *dict;
  }
  return std::make_shared<const Bundle>(folder, std::move(info), std::vector<std::string>{folder});
}

std::shared_ptr<const Bundle> Bundle::main() {
  {
    std::lock_guard lock(bundleMutex);
    if (mainOverride) return mainOverride;
  }
  return programBundle();
}

void Bundle::setMain(std::shared_ptr<const Bundle> bundle) {
  std::lock_guard lock(bundleMutex);
  mainOverride = std::move(bundle);
}

std::shared_ptr<const Bundle> Bundle::library() {
  {
    std::lock_guard lock(bundleMutex);
    if (libraryOverride) return libraryOverride;
  }
  return main();
}

void Bundle::setLibrary(std::shared_ptr<const Bundle> bundle) {
  std::lock_guard lock(bundleMutex);
  libraryOverride = std::move(bundle);
}

std::optional<std::string> Bundle::stringForKey(const char* key) const {
  auto it = info_.find(key);
  if (it == info_.end() || !it->second.isString()) return std::nullopt;
  return *it->second.string();
}

std::string Bundle::bundleIdentifier() const {
  auto identifier = stringForKey("CFBundleIdentifier");
  return identifier && !identifier->empty() ? *identifier : kDefaultBundleIdentifier;
}

std::optional<std::string> Bundle::shortVersion() const {
  return stringForKey("CFBundleShortVersionString");
}

std::optional<std::string> Bundle::buildVersion() const { return stringForKey("CFBundleVersion"); }

Object Bundle::objectForInfoDictionaryKey(const std::string& key) const {
  auto it = info_.find(key);
  return it == info_.end() ? Object() : it->second;
}

std::optional<std::string> Bundle::pathForResource(const std::string& name,
                                                   const std::string& type) const {
  if (name.empty()) return std::nullopt;
  std::string file = type.empty() ? name : appendingPathExtension(name, type);
  for (const auto& folder : resourceFolders_) {
    std::string path = appendingPathComponent(folder, file);
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec)) return path;
  }
  return std::nullopt;
}

}  // namespace platform
