// `APMMonitor`: the measurement logger every measurement class writes
// through; `APMMeasurement::monitor()` (measurement.h) is the process-wide
// instance.
//
// A call carries a level (0-2 error, 3-5 warning, 6 notice, 7 debug,
// 8 verbose), a numeric message code, the message and optional contexts
// (numbers, strings, errors). A loggable line is printed through the logger
// bridge with the message ID "I-ACS" + the code in six digits and the text
// "<message>: <context>, <context>"; levels 2 and 5 are never printed; levels
// 1, 2, 4 and 5 are also kept as monitoring data (the newest 200). Logging
// never fails and may be called from any thread; the line is handed to the
// logger before the call returns (the SDK logger then writes it
// asynchronously).
//
// Whatever the caller passes, a line's text is at most
// `platform::kMaxLogTextBytes` long: a longer one is cut, with a mark saying
// so (platform/log.h), before it is kept, printed or observed, and is kept
// and observed as that text alone, without contexts. So the samples hold at
// most 200 such lines whatever code or script logs.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "measurement/engine/measurement.h"
#include "platform/object.h"

class APMLogging;

// The monitoring samples kept: the newest, each line at most
// `platform::kMaxLogTextBytes` long.
inline constexpr size_t kAPMMonitoringRecordsKept = 200;

// One entry of the monitoring data.
struct APMMonitoringRecord {
  long level = 0;
  long code = 0;
  std::string message;
  std::vector<platform::Object> contexts;
};

class APMMonitor {
 public:
  using Contexts = std::vector<platform::Object>;
  // Sees every call, printed or not, as it is kept (cut past the limit),
  // with the formatted text; for tests.
  using Observer = std::function<void(long level, long code, const std::string& message,
                                      const Contexts& contexts, const std::string& text)>;

  APMMonitor();
  ~APMMonitor();

  void logWithLevel(long level, long code, const std::string& message);
  void logWithLevel(long level, long code, const std::string& message,
                    const platform::Object& context);
  void logWithLevel(long level, long code, const std::string& message,
                    const platform::Object& context1, const platform::Object& context2);
  void logWithLevel(long level, long code, const std::string& message,
                    const platform::Object& context1, const platform::Object& context2,
                    const platform::Object& context3);
  void logWithLevel(long level, long code, const std::string& message, const Contexts& contexts);

  // The current level: lines above it are not printed (6, notice, at start).
  long logLevel() const;
  void setLogLevel(long level);
  // Verbose lines (8) are printed only with verbose logging on, whatever the
  // log level; debug mode also prints debug lines (7).
  bool isVerboseLoggingEnabled() const;
  void setVerboseLoggingEnabled(bool enabled);
  bool isDebugModeEnabled() const;
  void setDebugModeEnabled(bool enabled);
  // The tag printed as the line's category ("<VavIradadovozo>" by default).
  std::string logTag() const;
  void setLogTag(std::string tag);

  // Where printed lines go (the bridge to the SDK logger by default).
  void setLogger(std::shared_ptr<APMLogging> logger);

  std::vector<APMMonitoringRecord> monitoringData() const;
  void clearMonitoringData();

  void setObserver(Observer observer);

  // Blocks until every line logged so far has been printed.
  void flush();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

