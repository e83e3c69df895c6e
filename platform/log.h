// The two plain output channels of the system.
//
// `nslog` writes one line to standard error (a line end is added); it is
// what the measurement code means by "logged through NSLog".
// `stdoutPrint` writes text to standard output exactly as given (the caller
// supplies any line end); it is what "printed on standard output" means.
//
// Both are thread-safe. Tests capture them with `LogCapture`: while a capture
// is alive, output goes to it instead of the process streams.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

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
