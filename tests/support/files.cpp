#include "tests/support/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/dispatch.h"

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

std::vector<std::string> folderEntries(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool shiftModificationTime(const std::string& path, double seconds) {
  const time_t when = ::time(nullptr) + static_cast<time_t>(seconds);
  const struct timespec times[2] = {{when, 0}, {when, 0}};
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

mode_t modeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

LockedFile::LockedFile(const std::string& path, const std::string& text)
    : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)) {
  EXPECT_GE(fd_, 0) << path;
  EXPECT_EQ(::flock(fd_, LOCK_EX), 0) << path;
  EXPECT_EQ(::write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size())) << path;
}

LockedFile::~LockedFile() {
  if (fd_ >= 0) ::close(fd_);
}

DescriptorsExhausted::DescriptorsExhausted() {
  // The sanitizers check a thread start routine's type with a pipe of their
  // own the first time they meet it: meet a queue worker's while that works.
  auto queue = platform::DispatchQueue::create("DescriptorsExhausted");
  queue->async([] {});
  queue->sync([] {});
  EXPECT_EQ(::getrlimit(RLIMIT_NOFILE, &limit_), 0);
  struct rlimit low = {std::min<rlim_t>(limit_.rlim_cur, 256), limit_.rlim_max};  // few to fill
  EXPECT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held_.push_back(fd);
  EXPECT_EQ(errno, EMFILE);
}

DescriptorsExhausted::~DescriptorsExhausted() {
  for (int fd : held_) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &limit_);
}
