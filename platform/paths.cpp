#include "platform/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <system_error>

#include "platform/bundle.h"

namespace platform {
namespace fs = std::filesystem;
namespace {

std::mutex overrideMutex;
std::optional<std::string> containerOverride;
std::optional<std::string> keychainOverride;

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

std::optional<std::string> overridden(const std::optional<std::string>& folder) {
  std::lock_guard lock(overrideMutex);
  return folder;
}

// A folder named by an environment variable, with a leading "~" expanded as
// search paths answer it; empty when unset or when there is no home.
std::string folderFromEnvironment(const char* name) {
  std::string folder = environment(name);
  if (folder == "~" || folder.starts_with("~/")) {
    std::string home = homeDirectory();
    if (home.empty()) return {};
    folder = home + folder.substr(1);
  }
  return folder;
}

// The user's data folder; empty without a home.
std::string dataHome() {
  std::string data = environment("XDG_DATA_HOME");
  if (!data.empty()) return data;
  std::string home = homeDirectory();
  return home.empty() ? std::string() : appendingPathComponent(home, ".local/share");
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

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Takes the advisory lock that marks a temporary file as being written;
// sweeps remove only files whose lock they can take.
bool lockFile(int fd, int how) {
  while (::flock(fd, how) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// A fresh temporary entry beside `name`, opened for writing and locked for
// as long as it stays open; -1 with errno when none can be made.
int createTemporary(int folder, const std::string& name, mode_t mode, std::string& temporary) {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 generator{std::random_device{}()};
  std::uniform_int_distribution<size_t> pick(0, sizeof kLetters - 2);
  for (int attempt = 0; attempt < 64; ++attempt) {
    temporary = temporaryFilePrefix(name);
    for (size_t i = 0; i < kTemporaryFileSuffixLength; ++i) temporary += kLetters[pick(generator)];
    int fd = ::openat(folder, temporary.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return -1;
    }
    // Where locks are not supported, sweeps cannot take them either and
    // leave the file alone.
    lockFile(fd, LOCK_EX);
    // A sweep may have taken the file between its creation and the lock;
    // it unlinks what it takes.
    struct stat status {};
    if (::fstat(fd, &status) == 0 && status.st_nlink > 0) return fd;
    ::close(fd);
  }
  errno = EEXIST;
  return -1;
}

// Puts `temporary` in the place of `name`; without `replace` only where
// nothing is, so two adders cannot both succeed.
bool publish(int folder, const std::string& temporary, const std::string& name, bool replace) {
  if (replace) return ::renameat(folder, temporary.c_str(), folder, name.c_str()) == 0;
  if (::renameat2(folder, temporary.c_str(), folder, name.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without that rename: a hard link is refused where a name is too.
  if (::linkat(folder, temporary.c_str(), folder, name.c_str(), 0) != 0) return false;
  ::unlinkat(folder, temporary.c_str(), 0);
  return true;
}

bool writeAtomically(int folder, const std::string& name, std::string_view bytes, mode_t mode,
                     bool replace, const std::string& errorPath, ErrorRef* error) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    return fail(error, EINVAL, errorPath);
  }
  std::string temporary;
  int fd = createTemporary(folder, name, mode, temporary);
  if (fd < 0) return fail(error, errno, errorPath);
  bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
  int code = ok ? 0 : errno;
  if (ok && !publish(folder, temporary, name, replace)) {
    ok = false;
    code = errno;
  }
  if (!ok) ::unlinkat(folder, temporary.c_str(), 0);
  // Closed, and so unlocked, only once the temporary name is gone: until
  // then a sweep must take it for a live write. The bytes are on disk
  // already, so a late error of close changes nothing.
  ::close(fd);
  if (!ok) return fail(error, code == 0 ? EIO : code, errorPath);
  // The rename itself is durable only once the folder is flushed.
  ::fsync(folder);
  return true;
}

}  // namespace

void setContainerDirectory(std::optional<std::string> directory) {
  std::lock_guard lock(overrideMutex);
  containerOverride = std::move(directory);
}

std::string containerDirectory() {
  if (auto folder = overridden(containerOverride)) return *folder;
  std::string root = folderFromEnvironment("APM_CONTAINER_DIR");
  if (!root.empty()) return root;
  std::string data = dataHome();
  if (data.empty()) return {};
  // The identifier comes from a file; it names one folder, never a path.
  std::string identifier = Bundle::main()->bundleIdentifier();
  if (identifier.find('/') != std::string::npos || identifier == "." || identifier == "..") {
    identifier = kDefaultBundleIdentifier;
  }
  return appendingPathComponent(data, identifier);
}

void setKeychainDirectory(std::optional<std::string> directory) {
  std::lock_guard lock(overrideMutex);
  keychainOverride = std::move(directory);
}

std::string keychainDirectory() {
  if (auto folder = overridden(keychainOverride)) return *folder;
  std::string folder = folderFromEnvironment("APM_KEYCHAIN_DIR");
  if (!folder.empty()) return folder;
  std::string data = dataHome();
  return data.empty() ? std::string() : appendingPathComponent(data, "apm-keychain");
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

// The error of a folder that could not be made: its description names the
// folder and the cause, as "Permission denied" alone leaves the reader to
// guess which of the container's folders it was.
static bool failToCreate(ErrorRef* error, int code, const std::string& path, std::string cause = {}) {
  Object::Dictionary info = posixError(code, path)->userInfo();
  if (cause.empty()) cause = std::error_code(code, std::generic_category()).message();
  info.insert_or_assign(kLocalizedDescriptionKey, "Cannot create the folder " + path + ": " + cause);
  setError(error, Error::make(kPOSIXErrorDomain, code, std::move(info)));
  return false;
}

bool createDirectories(const std::string& path, ErrorRef* error, mode_t mode) {
  if (path.empty()) return fail(error, ENOENT, path);
  std::error_code ec;
  if (fs::is_directory(path, ec)) return true;
  // Parents first; one level per call, so the depth is the path's.
  std::string parent = deletingLastPathComponent(path);
  if (!parent.empty() && parent != path && !createDirectories(parent, error, mode)) return false;
  // Another thread or process may make it meanwhile: EEXIST is checked below.
  if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
    return failToCreate(error, errno, path);
  }
  if (!fs::is_directory(path, ec)) {
    return failToCreate(error, EEXIST, path, "a file that is not a folder is in its place");
  }
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

bool readToEnd(int fd, size_t limit, std::string& out) {
  // Read to the end rather than trusting the size: the file may change.
  char buffer[16384];
  while (out.size() <= limit) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

std::string temporaryFilePrefix(std::string_view name) {
  std::string prefix;
  prefix.reserve(name.size() + 6);
  prefix.append(".").append(name).append(".tmp.");
  return prefix;
}

void removeTemporaryFilesAt(int folder, std::string_view name) {
  // A description of its own: the caller's descriptor keeps its offset.
  const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return;
  std::unique_ptr<DIR, int (*)(DIR*)> entries(::fdopendir(listing), ::closedir);
  if (!entries) {
    ::close(listing);
    return;
  }
  const std::string prefix = temporaryFilePrefix(name);
  // Any file's: ".", a name that is not empty, ".tmp." and the suffix.
  const std::string_view mark = std::string_view(prefix).substr(1);
  auto isTemporary = [&](std::string_view found) {
    if (!name.empty()) return found.size() == prefix.size() + kTemporaryFileSuffixLength && found.starts_with(prefix);
    return found.size() > prefix.size() + kTemporaryFileSuffixLength && found.starts_with('.') &&
           found.substr(found.size() - kTemporaryFileSuffixLength - mark.size(), mark.size()) == mark;
  };
  while (const dirent* entry = ::readdir(entries.get())) {
    if (!isTemporary(entry->d_name)) continue;
    // O_NONBLOCK: a FIFO under such a name must not hang the open.
    const int fd = ::openat(folder, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat opened {};
    struct stat named {};
    // A writer holds its file's lock until the file is renamed or removed:
    // a lock that can be taken belongs to no live write. Held while the
    // name is removed, and checked to still name the file locked, so a
    // write that starts meanwhile never loses its file unseen.
    if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && lockFile(fd, LOCK_EX | LOCK_NB) &&
        ::fstatat(folder, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == opened.st_dev && named.st_ino == opened.st_ino) {
      ::unlinkat(folder, entry->d_name, 0);
    }
    ::close(fd);
  }
}

bool writeFileAtomically(const std::string& path, std::string_view bytes, ErrorRef* error) {
  const size_t slash = path.rfind('/');
  const std::string folderPath =
      slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  int folder = ::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return fail(error, errno, path);
  const bool ok = writeAtomically(folder, name, bytes, 0600, true, path, error);
  ::close(folder);
  return ok;
}

bool writeFileAtomicallyAt(int folder, const std::string& name, std::string_view bytes,
                           mode_t mode, bool replace, ErrorRef* error) {
  return writeAtomically(folder, name, bytes, mode, replace, name, error);
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
