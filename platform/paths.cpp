#include "platform/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "platform/bundle.h"

namespace platform {
namespace fs = std::filesystem;
namespace {

std::mutex overrideMutex;
std::optional<std::string> containerOverride;

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::string homeDirectory() {
  std::string home = environment("HOME");
  if (!home.empty()) return home;
  struct passwd entry {};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found &&
      found->pw_dir) {
    return found->pw_dir;
  }
  return {};
}

std::vector<std::string> containerSubfolder(std::string_view relative) {
  std::string root = containerDirectory();
  if (root.empty()) return {};
  return {appendingPathComponent(root, relative)};
}

bool fail(ErrorRef* error, int code, const std::string& path) {
  setError(error, posixError(code, path));
  return false;
}

}  // namespace

void setContainerDirectory(std::optional<std::string> directory) {
  std::lock_guard lock(overrideMutex);
  containerOverride = std::move(directory);
}

std::string containerDirectory() {
  {
    std::lock_guard lock(overrideMutex);
    if (containerOverride) return *containerOverride;
  }
  std::string root = environment("APM_CONTAINER_DIR");
  if (root == "~" || root.starts_with("~/")) {
    // Search paths answer with the tilde expanded; so does the root.
    std::string home = homeDirectory();
    if (home.empty()) return {};
    root = home + root.substr(1);
  }
  if (!root.empty()) return root;
  std::string data = environment("XDG_DATA_HOME");
  if (data.empty()) {
    std::string home = homeDirectory();
    if (home.empty()) return {};
    data = appendingPathComponent(home, ".local/share");
  }
  // The identifier comes from a file; it names one folder, never a path.
  std::string identifier = Bundle::main()->bundleIdentifier();
  if (identifier.find('/') != std::string::npos || identifier == "." || identifier == "..") {
    identifier = kDefaultBundleIdentifier;
  }
  return appendingPathComponent(data, identifier);
}

std::vector<std::string> libraryDirectories() { return containerSubfolder("Library"); }

std::vector<std::string> applicationSupportDirectories() {
  return containerSubfolder("Library/Application Support");
}

std::vector<std::string> preferencesDirectories() {
  return containerSubfolder("Library/Preferences");
}

std::string appendingPathComponent(std::string_view path, std::string_view component) {
  while (!component.empty() && component.front() == '/') component.remove_prefix(1);
  std::string out(path);
  if (component.empty()) return out;
  if (!out.empty() && out.back() != '/') out += '/';
  out += component;
  return out;
}

std::string deletingLastPathComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string pathExtension(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
  size_t dot = last.rfind('.');
  // A leading dot names a hidden file, not an extension.
  if (dot == std::string_view::npos || dot == 0) return {};
  return std::string(last.substr(dot + 1));
}

std::string appendingPathExtension(std::string_view path, std::string_view extension) {
  std::string out(path);
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  out += '.';
  out += extension;
  return out;
}

bool fileExists(const std::string& path) {
  std::error_code ec;
  return !path.empty() && fs::exists(path, ec);
}

bool isDirectory(const std::string& path) {
  std::error_code ec;
  return !path.empty() && fs::is_directory(path, ec);
}

bool createDirectories(const std::string& path, ErrorRef* error, mode_t mode) {
  if (path.empty()) return fail(error, ENOENT, path);
  std::error_code ec;
  if (fs::is_directory(path, ec)) return true;
  // Parents first; one level per call, so the depth is the path's.
  std::string parent = deletingLastPathComponent(path);
  if (!parent.empty() && parent != path && !createDirectories(parent, error, mode)) return false;
  // Another thread or process may make it meanwhile: EEXIST is checked below.
  if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return fail(error, errno, path);
  if (!fs::is_directory(path, ec)) return fail(error, EEXIST, path);
  return true;
}

bool removeItem(const std::string& path, ErrorRef* error) {
  std::error_code ec;
  if (path.empty() || !fs::exists(fs::symlink_status(path, ec))) {
    return fail(error, ENOENT, path);
  }
  fs::remove_all(path, ec);
  if (ec) return fail(error, ec.value(), path);
  return true;
}

bool moveItem(const std::string& from, const std::string& to, ErrorRef* error) {
  std::error_code ec;
  if (from.empty() || !fs::exists(fs::symlink_status(from, ec))) {
    return fail(error, ENOENT, from);
  }
  if (to.empty()) return fail(error, ENOENT, to);
  if (fs::exists(fs::symlink_status(to, ec))) return fail(error, EEXIST, to);
  fs::rename(from, to, ec);
  if (ec.value() == EXDEV) {
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    if (ec) {
      std::error_code ignored;
      fs::remove_all(to, ignored);
      return fail(error, ec.value(), to);
    }
    fs::remove_all(from, ec);
  }
  if (ec) return fail(error, ec.value(), from);
  return true;
}

bool setExcludedFromBackup(const std::string& path, bool excluded, ErrorRef* error) {
  if (!fileExists(path)) return fail(error, ENOENT, path);
  int result = excluded ? setxattr(path.c_str(), kExcludedFromBackupAttribute, "1", 1, 0)
                        : removexattr(path.c_str(), kExcludedFromBackupAttribute);
  if (result == 0) return true;
  const int code = errno;
  if (code == ENOTSUP || (!excluded && code == ENODATA)) return true;
  return fail(error, code, path);
}

bool isExcludedFromBackup(const std::string& path) {
  char value[1];
  ssize_t n = getxattr(path.c_str(), kExcludedFromBackupAttribute, value, sizeof value);
  return n >= 0 || errno == ENOTSUP;
}

ErrorRef posixError(int code, const std::string& path) {
  Object::Dictionary info;
  info.emplace(kLocalizedDescriptionKey, std::error_code(code, std::generic_category()).message());
  if (!path.empty()) info.emplace(kFilePathKey, path);
  return Error::make(kPOSIXErrorDomain, code, std::move(info));
}

}  // namespace platform
