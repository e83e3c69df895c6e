// Child processes that a test forks to write a database file (the
// multi-process and kill suites).
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "measurement/engine/asl_logger.h"
#include "measurement/engine/monitor.h"

// The monitor logs nothing in the child: its lines would only mix with the
// parent's test output.
inline void silenceMonitorInForkedChild() {
  class SilentLogger : public APMLogging {
   public:
    void logMessage(const std::string&, const std::string&, long, long) override {}
  };
  APMMeasurement::monitor()->setLogger(std::make_shared<SilentLogger>());
}

// Forks `count` children that run `body(index)` (which ends with `_exit`) once
// the parent lets them all go at the same moment, then waits for each and
// answers their exit codes (-1 for a child that did not exit by itself).
template <typename Body>
std::vector<int> runChildrenAtOnce(int count, const Body& body) {
  APMMeasurement::monitor()->flush();
  int start[2];
  EXPECT_EQ(pipe(start), 0);
  std::vector<pid_t> children;
  for (int index = 0; index < count; ++index) {
    pid_t child = fork();
    if (child == 0) {
      close(start[1]);
      silenceMonitorInForkedChild();
      char go = 0;
      if (read(start[0], &go, 1) != 1) _exit(2);
      body(index);
      _exit(1);
    }
    EXPECT_GE(child, 0);
    children.push_back(child);
  }
  close(start[0]);
  EXPECT_EQ(write(start[1], std::string(static_cast<size_t>(count), 'g').data(), count), count);
  close(start[1]);
  std::vector<int> codes;
  for (pid_t child : children) {
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    codes.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  }
  return codes;
}
