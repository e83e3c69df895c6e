// Reads that meet a damaged row and then delete it, with another process
// acting in between: the other process, forked to wait for its turn, and a
// hook that gives it its turn as the reading connection is about to write.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string_view>
#include <utility>

#include "tests/measurement/storage/database/forked_child_support.h"

// Another process that acts once told to: forked before this process opens
// the file (a child must not meet its parent's connection to it), it waits
// on a pipe, runs `act` (which opens the file of its own) and reports back.
class OtherProcess {
 public:
  explicit OtherProcess(const std::function<bool()>& act) {
    APMMeasurement::monitor()->flush();
    EXPECT_EQ(pipe(go_), 0);
    EXPECT_EQ(pipe(done_), 0);
    child_ = fork();
    if (child_ == 0) {
      silenceMonitorInForkedChild();
      char signal = 0;
      if (read(go_[0], &signal, 1) != 1) _exit(2);
      const bool acted = act();
      if (write(done_[1], "d", 1) != 1) _exit(3);
      _exit(acted ? 0 : 1);
    }
    close(go_[0]);
    close(done_[1]);
  }
  ~OtherProcess() {
    close(go_[1]);
    close(done_[0]);
    if (child_ > 0 && !waited_) waitpid(child_, nullptr, 0);
  }

  // Lets the other process act and waits until it has.
  void actNow() {
    char signal = 0;
    EXPECT_EQ(write(go_[1], "g", 1), 1);
    EXPECT_EQ(read(done_[0], &signal, 1), 1);
  }
  int exitCode() {
    int status = 0;
    EXPECT_EQ(waitpid(child_, &status, 0), child_);
    waited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  int go_[2] = {-1, -1};
  int done_[2] = {-1, -1};
  pid_t child_ = -1;
  bool waited_ = false;
};

// Runs `action` once, as the connection starts the first statement that
// may write after a read (a BEGIN, a SAVEPOINT or a DELETE): before it asks
// for any lock, after the read decided what it found.
class BeforeFirstWrite {
 public:
  BeforeFirstWrite(sqlite3* handle, std::function<void()> action)
      : handle_(handle), action_(std::move(action)) {
    sqlite3_trace_v2(handle_, SQLITE_TRACE_STMT, &BeforeFirstWrite::traced, this);
  }
  ~BeforeFirstWrite() { sqlite3_trace_v2(handle_, 0, nullptr, nullptr); }
  bool fired() const { return fired_; }

 private:
  static int traced(unsigned, void* context, void*, void* text) {
    auto* self = static_cast<BeforeFirstWrite*>(context);
    const std::string_view sql(static_cast<const char*>(text));
    if (!self->fired_ && (sql.starts_with("BEGIN") || sql.starts_with("SAVEPOINT") ||
                          sql.starts_with("DELETE"))) {
      self->fired_ = true;
      self->action_();
    }
    return 0;
  }

  sqlite3* handle_;
  std::function<void()> action_;
  bool fired_ = false;
};
