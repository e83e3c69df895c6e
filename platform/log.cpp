#include "platform/log.h"

#include <cstdio>
#include <mutex>

namespace platform {
namespace {
// One lock for the capture pointer, the capture buffers and the streams:
// lines from two threads never interleave and a capture never dies under a
// writer.
std::mutex sinkMutex;
LogCapture* activeCapture = nullptr;
}  // namespace

void nslog(std::string_view line) {
  std::lock_guard<std::mutex> lock(sinkMutex);
  if (activeCapture) {
    activeCapture->nslogLines_.emplace_back(line);
    return;
  }
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fputc('\n', stderr);
}

void stdoutPrint(std::string_view text) {
  std::lock_guard<std::mutex> lock(sinkMutex);
  if (activeCapture) {
    activeCapture->stdoutText_.append(text);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

LogCapture::LogCapture() {
  std::lock_guard<std::mutex> lock(sinkMutex);
  activeCapture = this;
}

LogCapture::~LogCapture() {
  std::lock_guard<std::mutex> lock(sinkMutex);
  if (activeCapture == this) activeCapture = nullptr;
}

std::vector<std::string> LogCapture::nslogLines() const {
  std::lock_guard<std::mutex> lock(sinkMutex);
  return nslogLines_;
}

std::string LogCapture::stdoutText() const {
  std::lock_guard<std::mutex> lock(sinkMutex);
  return stdoutText_;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lock(sinkMutex);
  nslogLines_.clear();
  stdoutText_.clear();
}

}  // namespace platform
