// `Bundle`: the app's bundle as the measurement code sees it: identifier,
// versions, the Info dictionary and the folders its resources are found in.
//
// The main bundle is, unless replaced with `setMain`, the folder of the
// running program: its Info.plist (XML or binary), when there is one, gives
// the Info dictionary, and the folder itself holds the resources. A bundle
// without an identifier answers kDefaultBundleIdentifier, so the container
// folder always has a name. `library()` is the bundle holding this library's
// own resources; it is the main bundle unless replaced with `setLibrary`.
//
// Bundles are immutable once made and shared through shared_ptr; `main`,
// `setMain`, `library` and `setLibrary` may be called from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/object.h"

namespace platform {

inline constexpr const char* kDefaultBundleIdentifier = "com.voraza.measurement.example";

class Bundle {
 public:
  // A bundle with the given Info dictionary whose resources are searched in
  // `resourceFolders`, in order.
  Bundle(std::string bundlePath, Object::Dictionary info, std::vector<std::string> resourceFolders);

  // The bundle of a folder: its Info.plist, when readable as a dictionary,
  // gives the Info dictionary; the folder is its only resource folder.
  // Null when the folder does not exist.
  static std::shared_ptr<const Bundle> bundleWithPath(const std::string& folder);

  // Never null.
  static std::shared_ptr<const Bundle> main();
  // Replaces the main bundle; null returns to the program's folder.
  static void setMain(std::shared_ptr<const Bundle> bundle);
  static std::shared_ptr<const Bundle> library();
  static void setLibrary(std::shared_ptr<const Bundle> bundle);

  const std::string& bundlePath() const { return path_; }
  // "CFBundleIdentifier", or kDefaultBundleIdentifier when absent or empty.
  std::string bundleIdentifier() const;
  // "CFBundleShortVersionString" and "CFBundleVersion" when they are strings.
  std::optional<std::string> shortVersion() const;
  std::optional<std::string> buildVersion() const;
  const Object::Dictionary& infoDictionary() const { return info_; }
  // The Info dictionary's value for `key`; nil when absent.
  Object objectForInfoDictionaryKey(const std::string& key) const;
  const std::vector<std::string>& resourceFolders() const { return resourceFolders_; }

  // The path of the regular file "<name>.<type>" (or "<name>" for an empty
  // type) in the first resource folder that has it; nullopt when none has.
  std::optional<std::string> pathForResource(const std::string& name,
                                             const std::string& type) const;

 private:
  std::optional<std::string> stringForKey(const char* key) const;

  std::string path_;
  Object::Dictionary info_;
  std::vector<std::string> resourceFolders_;
};

}  // namespace platform
