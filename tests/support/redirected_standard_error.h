// `RedirectedStandardError`: standard error goes to a descriptor of the
// test's choosing while the object lives, then back to where it went.
// Process-wide: use from the test's own thread.
#pragma once

#include <unistd.h>

class RedirectedStandardError {
 public:
  // Takes `target` and closes it once standard error points at it.
  explicit RedirectedStandardError(int target) : saved_(dup(STDERR_FILENO)) {
    dup2(target, STDERR_FILENO);
    close(target);
  }
  ~RedirectedStandardError() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }
  RedirectedStandardError(const RedirectedStandardError&) = delete;
  RedirectedStandardError& operator=(const RedirectedStandardError&) = delete;

 private:
  const int saved_;
};
