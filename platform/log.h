// The two plain output channels of the system.
//
// `nslog` writes one line to standard error (a line end is added); it is
// what the measurement code means by "logged through NSLog".
// `stdoutPrint` writes text to standard output exactly as given (the caller
// supplies any line end); it is what "printed on standard output" means.
//
// Both are thread-safe. Tests capture them with `LogCapture`: while a capture
// is alive, output goes to it instead of the process streams.
//
// `LogText` puts together the text of a log line under a fixed length, so
// that no caller can make the lines kept in memory (the monitor's samples,
// lines waiting to be written) or written out larger than it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The most bytes of text one log line carries: its message with the
// contexts printed after it. Lines are read by people; the engine's own
// (an error with its statement, a path or a URL) stay under a few hundred
// bytes, so this leaves them whole, while a line made from data (a script
// logging what it holds) keeps its start. The lines the process keeps
// (200 monitor samples, a bounded queue of lines to write) are bounded by
// it too.
inline constexpr size_t kMaxLogTextBytes = 4096;

// A log line's text, appended piece by piece. What passes
// `kMaxLogTextBytes` is counted but never copied; a text that passed it
// ends, within the limit, with a mark saying it was cut and how long it
// was: " [cut: 12582912 bytes]".
class LogText {
 public:
  LogText& append(std::string_view piece);
  bool cut() const noexcept { return total_ > kMaxLogTextBytes; }
  // The text, cut at a character boundary and marked when it passed the
  // limit.
  std::string take() &&;

 private:
  std::string text_;
  size_t total_ = 0;
};

// `text` as a log line carries it: whole when it fits, else cut and marked.
std::string logText(std::string_view text);

void nslog(std::string_view line);
void stdoutPrint(std::string_view text);

// Captures both channels for as long as it lives. Only one capture may be
// active at a time; it may be read from any thread.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Lines given to `nslog`, without their line ends.
  std::vector<std::string> nslogLines() const;
  // Everything given to `stdoutPrint`, concatenated.
  std::string stdoutText() const;
  void clear();

 private:
  friend void nslog(std::string_view);
  friend void stdoutPrint(std::string_view);
  std::vector<std::string> nslogLines_;
  std::string stdoutText_;
};

}  // namespace platform
