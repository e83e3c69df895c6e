// Folders of the app container and the small file operations the storage
// layer needs.
//
// The container is the folder the app owns, laid out as an app's home:
//   <container>/Library
//   <container>/Library/Application Support
//   <container>/Library/Preferences
// Its root is, in order: the folder set with `setContainerDirectory`, the
// environment variable APM_CONTAINER_DIR, `$XDG_DATA_HOME/<bundle
// identifier>`, `~/.local/share/<bundle identifier>`. When none can be found
// (no variable set and no home folder) there is no container, and the
// search-path functions answer an empty list so callers can report "no
// entry". Nothing here creates folders; callers create what they write into.
//
// All functions may be called from any thread.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace platform {

// Error domain of failed file operations; the code is the `errno` value and
// the user info holds the description and the path under kFilePathKey.
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* kFilePathKey = "NSFilePath";

// Overrides the container root: a folder, or the empty string for "no
// container". `std::nullopt` returns to the environment's answer. Meant for
// tests (see tests/support/temp_container.h).
void setContainerDirectory(std::optional<std::string> directory);

// The container root, or the empty string when there is none.
std::string containerDirectory();

// The folder of the user's keychain items (keychain.h), which lies outside
// every app container so that items outlive the app's data: the folder set
// with `setKeychainDirectory`, else $APM_KEYCHAIN_DIR, else
// `$XDG_DATA_HOME/apm-keychain`, else `~/.local/share/apm-keychain`; the
// empty string when none can be found. `std::nullopt` returns to the
// environment's answer; meant for tests.
void setKeychainDirectory(std::optional<std::string> directory);
std::string keychainDirectory();

// Search paths of the user domain: one entry, or none without a container.
std::vector<std::string> libraryDirectories();
std::vector<std::string> applicationSupportDirectories();
std::vector<std::string> preferencesDirectories();

// Path text helpers; "/" is the only separator.
std::string appendingPathComponent(std::string_view path, std::string_view component);
// The path without its last component ("/a/b" -> "/a"; "b" -> "").
std::string deletingLastPathComponent(std::string_view path);
// The extension of the last component without the dot ("" when none).
std::string pathExtension(std::string_view path);
std::string appendingPathExtension(std::string_view path, std::string_view extension);

// File operations. Symbolic links are followed, as the platform's file
// manager does.
bool fileExists(const std::string& path);
bool isDirectory(const std::string& path);
// Creates the folder and its missing parents, each with `mode` (less the
// umask); folders already there keep theirs. YES when it already exists as a
// folder; NO with an error when a file is in the way or creation fails: its
// description names the folder that could not be made and the cause.
bool createDirectories(const std::string& path, ErrorRef* error = nullptr, mode_t mode = 0777);
// Removes the file or folder (with its contents); NO with an error when there
// is nothing at the path or it cannot be removed.
bool removeItem(const std::string& path, ErrorRef* error = nullptr);
// Moves an item to a path where nothing is yet (EEXIST otherwise), within one
// file system or across.
bool moveItem(const std::string& from, const std::string& to, ErrorRef* error = nullptr);

// Reads the file open at `fd` from its current offset to its end into
// `out`, stopping once `out` holds more than `limit` bytes, so the caller
// sees an oversized file without reading all of it. NO with errno set when
// a read fails.
bool readToEnd(int fd, size_t limit, std::string& out);

// Writes `bytes` to the file at `path` atomically: they go to a temporary
// file in the same folder, are flushed to disk and renamed over the old
// file, so a crash leaves either the old or the new file, never a mix (a
// stray temporary file may remain, named as below; readers never look at
// it). The temporary file is held under an advisory lock (flock) from its
// creation until its name is gone, which tells a live write from a dead
// one. The folder must exist. The file gets mode 0600. What is at `path` is
// replaced, never written through: a symbolic link there is itself
// replaced. NO with an error when the file system fails; the old file is
// then left as it was. Concurrent writers of one path must be serialised by
// their caller, or accept that the last rename wins.
bool writeFileAtomically(const std::string& path, std::string_view bytes,
                         ErrorRef* error = nullptr);

// The temporary files of atomic writes of the file `name` are named
// `temporaryFilePrefix(name)` (".<name>.tmp.") followed by
// kTemporaryFileSuffixLength random letters and digits.
inline constexpr size_t kTemporaryFileSuffixLength = 6;
std::string temporaryFilePrefix(std::string_view name);

// Removes from the folder held open as `folder` the temporary files that
// atomic writes of the file `name` (of any file, when `name` is empty) left
// behind when they were killed before their rename: those whose lock it
// can take, however young. A file whose lock is held belongs to a write
// still running, here or in another process, and is kept. Only regular
// files go; no link is followed. Failures (a file that cannot be opened,
// out of descriptors) keep the file: it is only litter.
void removeTemporaryFilesAt(int folder, std::string_view name);

// The same for the entry `name` of a folder the caller holds open (a
// descriptor opened with O_DIRECTORY), so that no part of the folder's path
// is looked up again between the caller's checks and the write. The file
// gets exactly `mode`, whatever the umask. With `replace` NO an entry
// already at `name` (of any kind) is left alone and the call fails with
// EEXIST. Errors name `name`.
bool writeFileAtomicallyAt(int folder, const std::string& name, std::string_view bytes,
                           mode_t mode, bool replace, ErrorRef* error = nullptr);

// Marks an item as not to be backed up. This system has no backup service;
// the mark is kept as the extended attribute kExcludedFromBackupAttribute so
// it can be seen, and on file systems without extended attributes the call
// is a no-op that answers YES. NO with an error when nothing is at the path.
inline constexpr const char* kExcludedFromBackupAttribute = "user.apm.excluded_from_backup";
bool setExcludedFromBackup(const std::string& path, bool excluded, ErrorRef* error = nullptr);
// Whether the item carries the mark (YES on file systems that cannot keep it).
bool isExcludedFromBackup(const std::string& path);

// A POSIX error for `path`, as the operations above report it.
ErrorRef posixError(int code, const std::string& path);

}  // namespace platform
