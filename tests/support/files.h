// Small file-system helpers for tests: what a file holds, what a folder
// holds, a file's modification time moved away from now, a path's
// permission bits, a file held locked, the process out of descriptors,
// and the process umask held for a scope.
#pragma once

#include <sys/resource.h>
#include <sys/stat.h>

#include <string>
#include <vector>

// The file's bytes; empty when it cannot be read.
std::string fileText(const std::string& path);

// The names of the folder's entries, sorted; empty when it cannot be read.
std::vector<std::string> folderEntries(const std::string& folder);

// Sets the file's access and modification times `seconds` from now (in the
// past when negative); false when it cannot.
bool shiftModificationTime(const std::string& path, double seconds);

// The permission bits of the path itself (a link is not followed); a path
// that cannot be examined fails the test.
mode_t modeOf(const std::string& path);

// A file created at `path` holding `text`, held under flock for the object's
// lifetime, as a running atomic write holds its temporary file.
class LockedFile {
 public:
  LockedFile(const std::string& path, const std::string& text);
  ~LockedFile();
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;

 private:
  int fd_;
};

// Leaves the process without a free file descriptor (opens fail with EMFILE)
// for the object's lifetime. Process-wide: use from the test's own thread.
class DescriptorsExhausted {
 public:
  DescriptorsExhausted();
  ~DescriptorsExhausted();
  DescriptorsExhausted(const DescriptorsExhausted&) = delete;
  DescriptorsExhausted& operator=(const DescriptorsExhausted&) = delete;

 private:
  struct rlimit limit_;
  std::vector<int> held_;
};

// Settings-file reproducers holding, beside "other" ("kept"), one value the
// writer refuses (a string holding NUL, a NaN date, a date out of range,
// arrays sharing their elements) under `oddKey`.
struct OddSettingsFile {
  const char* name;
  const char* oddKey;
};
inline constexpr OddSettingsFile kOddSettingsFiles[] = {
    {"settings-file-utf16-string-with-nul.bplist", "k"},
    {"settings-file-nan-date.bplist", "d"},
    {"settings-file-year-2100-date-read-as-1932.bplist", "d"},
    {"settings-store-file-dag-value-rewrite-makes-store-unreadable.bplist", "k"},
};
#ifdef APM_FUZZ_CORPUS_DIR
inline std::string propertyListCorpusFile(const std::string& name) {
  return std::string(APM_FUZZ_CORPUS_DIR) + "/platform_property_list_fuzz/" + name;
}
#endif

// Sets the process umask for the lifetime of the object. The umask is
// process-wide: use from the test's own thread.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t old_;
};
