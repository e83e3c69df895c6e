// RecordingMonitor: records every call made to the process-wide measurement
// monitor while it lives (levels, codes, messages, contexts, formatted text),
// whether or not the line would be printed. One at a time. A call still
// running on another thread when the recorder goes away writes into storage
// it keeps alive, never into the destroyed recorder.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "measurement/engine/monitor.h"

struct RecordedLog {
  long level = 0;
  long code = 0;
  std::string message;
  std::vector<platform::Object> contexts;
  std::string text;  // message, ": " and the contexts joined by ", "
};

class RecordingMonitor {
 public:
  RecordingMonitor();
  ~RecordingMonitor();
  RecordingMonitor(const RecordingMonitor&) = delete;
  RecordingMonitor& operator=(const RecordingMonitor&) = delete;

  std::vector<RecordedLog> logs() const;
  // The codes in call order.
  std::vector<long> codes() const;
  // Whether a call with this code was made.
  bool contains(long code) const;
  // The first call with this code (a default entry when none).
  RecordedLog first(long code) const;
  void clear();

 private:
  struct Log {
    std::mutex mutex;
    std::vector<RecordedLog> entries;
  };
  const std::shared_ptr<Log> log_ = std::make_shared<Log>();
};
