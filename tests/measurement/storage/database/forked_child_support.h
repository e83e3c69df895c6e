// The first step of a child process that a test forks to write the
// measurement database (the multi-process and kill suites).
#pragma once

#include <memory>
#include <string>

#include "measurement/engine/asl_logger.h"
#include "measurement/engine/monitor.h"

// The monitor logs nothing in the child: the logger's queue has no threads
// there.
inline void silenceMonitorInForkedChild() {
  class SilentLogger : public APMLogging {
   public:
    void logMessage(const std::string&, const std::string&, long, long) override {}
  };
  APMMeasurement::monitor()->setLogger(std::make_shared<SilentLogger>());
}
