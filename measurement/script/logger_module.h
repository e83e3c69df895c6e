// The module "internal.logger": how a script writes lines into the
// measurement log.
//
// `APMPMessageLogger` (the module's value) carries three properties:
// "log", "silent" and "unmonitored". Scripts call logger.log(...),
// logger.silent.log(...) and logger.unmonitored.log(...). A log function
// takes a message alone (level 4), or a level, a message and up to three
// context texts (more arguments are evaluated and ignored); it answers
// undefined, and writes nothing when an argument fails to convert. No
// argument is error 9.
//
// `APMPixieLogger` writes through the engine's monitor with message code
// 24005, mapping the script level by the flags of the function used:
// level 6 is an error line, 5 a warning line; silent lines are recorded
// without being printed, unmonitored ones printed without being recorded.
// The monitor cuts a line past `platform::kMaxLogTextBytes` before it keeps
// or prints it, so what a script logs leaves at most that much per line in
// the process once its native returns; the conversion it pays for covers
// the copying of what is kept.
//
// The values are plain natives (not tracked: they form no cycles). The
// runtime's thread calls them; the monitor may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "measurement/script/modules.h"
#include "measurement/script/runtime_value.h"

inline constexpr long kAPMPScriptLogMessageCode = 24005;

class APMPLoggerDelegate {
 public:
  virtual ~APMPLoggerDelegate() = default;
  virtual void logWithLevel(int64_t level, const std::string& message, const std::vector<std::string>& context,
                            bool silent, bool monitored) = 0;
};

// The measurement level of a script log line: 2 gives 8 (verbose), 3 gives
// 7 (debug); 5 gives 5 when silent, else 4 monitored or 3 unmonitored; 6
// gives 2 when silent, else 1 monitored or 0 unmonitored; any other level 6
// (notice).
long APMPMeasurementLogLevel(int64_t level, bool silent, bool monitored);

class APMPixieLogger final : public APMPLoggerDelegate {
 public:
  void logWithLevel(int64_t level, const std::string& message, const std::vector<std::string>& context, bool silent,
                    bool monitored) override;
};

// "log": writes one line through its delegate with its two flags.
class APMPFunctionLog final : public APMPFunctionValue {
 public:
  APMPFunctionLog(std::shared_ptr<APMPLoggerDelegate> logger, bool silent, bool monitored)
      : APMPFunctionValue(u"log"), logger_(std::move(logger)), silent_(silent), monitored_(monitored) {}

  APMPRuntimeValue invokeWithArguments(std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                       platform::ErrorRef& error) override;

 private:
  const std::shared_ptr<APMPLoggerDelegate> logger_;
  const bool silent_;
  const bool monitored_;
};

// "silent" and "unmonitored": each carries a "log" with its flags; invoking
// either answers the function itself.
class APMPFunctionLogSilent final : public APMPFunctionValue {
 public:
  explicit APMPFunctionLogSilent(std::shared_ptr<APMPLoggerDelegate> logger);
  APMPRuntimeValue invokeWithArguments(std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                       platform::ErrorRef& error) override;
};

class APMPFunctionLogUnmonitored final : public APMPFunctionValue {
 public:
  explicit APMPFunctionLogUnmonitored(std::shared_ptr<APMPLoggerDelegate> logger);
  APMPRuntimeValue invokeWithArguments(std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                       platform::ErrorRef& error) override;
};

// "internal.logger": invoking it answers undefined.
class APMPMessageLogger final : public APMPFunctionValue {
 public:
  explicit APMPMessageLogger(std::shared_ptr<APMPLoggerDelegate> logger);
  APMPRuntimeValue invokeWithArguments(std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                       platform::ErrorRef& error) override;
};

// The creator of "internal.logger": a new `APMPMessageLogger` over a new
// `APMPixieLogger`.
APMPModuleCreator APMPLoggerModuleCreator();
