#include "platform/log.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>

namespace platform {
namespace {
// One lock for the capture pointer, the capture buffers and the streams:
// lines from two threads never interleave and a capture never dies under a
// writer.
std::mutex sinkMutex;
LogCapture* activeCapture = nullptr;

// The line and its end in one system call, past the C streams: a line
// written while the process exits (and its streams are flushed and shut)
// still arrives whole, and a line shorter than a pipe's atomic size is
// never cut by another process writing to the same pipe.
void writeLine(std::string_view line) {
  char end = '\n';
  iovec parts[2] = {{const_cast<char*>(line.data()), line.size()}, {&end, 1}};
  iovec* next = parts;
  int count = 2;
  while (count > 0) {
    const ssize_t written = writev(STDERR_FILENO, next, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    // A short write (more than the pipe takes at once) goes on from where
    // it stopped.
    size_t left = static_cast<size_t>(written);
    for (; count > 0 && left >= next->iov_len; ++next, --count) left -= next->iov_len;
    if (count > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + left;
      next->iov_len -= left;
    }
  }
}
}  // namespace

LogText& LogText::append(std::string_view piece) {
  if (text_.size() < kMaxLogTextBytes) text_.append(piece.substr(0, kMaxLogTextBytes - text_.size()));
  total_ += piece.size();
  return *this;
}

std::string LogText::take() && {
  if (!cut()) return std::move(text_);
  char mark[48];
  const int length = std::snprintf(mark, sizeof mark, " [cut: %zu bytes]", total_);
  size_t keep = kMaxLogTextBytes - static_cast<size_t>(length);
  // Never half a character: back over the continuation bytes of the one
  // the cut falls in.
  while (keep > 0 && (static_cast<unsigned char>(text_[keep]) & 0xC0) == 0x80) --keep;
  text_.resize(keep);
  text_.append(mark, static_cast<size_t>(length));
  return std::move(text_);
}

std::string logText(std::string_view text) {
  LogText line;
  line.append(text);
  return std::move(line).take();
}

void nslog(std::string_view line) {
  std::lock_guard<std::mutex> lock(sinkMutex);
  if (activeCapture) {
    activeCapture->nslogLines_.emplace_back(line);
    return;
  }
  writeLine(line);
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
