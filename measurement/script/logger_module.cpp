#include "measurement/script/logger_module.h"

#include "measurement/engine/monitor.h"
#include "measurement/script/charged_conversions.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/script_text.h"
#include "platform/numbers.h"

using Value = APMPRuntimeValue;
using platform::ErrorRef;

namespace {

constexpr long kNoticeLevel = 6;
// The contexts a line carries at most (the third to fifth arguments).
constexpr size_t kMaxContexts = 3;

// One row of the level table; a flag the row does not name is "either".
struct LevelRow {
  int64_t scriptLevel;
  int silent;  // 0 off, 1 on, -1 either
  int monitored;
  long measurementLevel;
};

constexpr LevelRow kLevelTable[] = {
    {2, -1, -1, 8}, {3, -1, -1, 7},  //
    {5, 1, -1, 5},  {5, 0, 1, 4},  {5, 0, 0, 3},  //
    {6, 1, -1, 2},  {6, 0, 1, 1},  {6, 0, 0, 0},
};

bool matches(int flag, bool value) { return flag < 0 || flag == static_cast<int>(value); }

}  // namespace

long APMPMeasurementLogLevel(int64_t level, bool silent, bool monitored) {
  for (const LevelRow& row : kLevelTable) {
    if (row.scriptLevel == level && matches(row.silent, silent) && matches(row.monitored, monitored)) {
      return row.measurementLevel;
    }
  }
  return kNoticeLevel;
}

void APMPixieLogger::logWithLevel(int64_t level, const std::string& message, const std::vector<std::string>& context,
                                  bool silent, bool monitored) {
  APMMonitor::Contexts contexts(context.begin(), context.end());
  APMMeasurement::monitor()->logWithLevel(APMPMeasurementLogLevel(level, silent, monitored),
                                          kAPMPScriptLogMessageCode, message, contexts);
}

Value APMPFunctionLog::invokeWithArguments(std::span<const Value> arguments, APMPScope& scope, ErrorRef& error) {
  if (!APMPCheckMinArgumentCount(arguments, 1, error)) return {};
  APMPValueList values;
  if (!APMPEvaluateArguments(arguments, scope, error, values)) return {};
  int64_t level = 4;
  std::string message;
  std::vector<std::string> contexts;
  // Each text is copied once more on its way to the monitor.
  APMPWorkingBytes counted(scope);
  constexpr size_t kCopies = 2;
  if (values.size() == 1) {
    message = APMPChargedUtf8(values[0], counted, kCopies, scope, error);
  } else {
    // NaN gives 0 and the infinities saturate; none of them is a level of
    // the table, so all log at the notice level.
    level = platform::saturatingCast<int64_t>(APMPChargedNumber(values[0], scope, error));
    if (!error) message = APMPChargedUtf8(values[1], counted, kCopies, scope, error);
    for (size_t i = 2; !error && i < values.size() && i < 2 + kMaxContexts; ++i) {
      contexts.push_back(APMPChargedUtf8(values[i], counted, kCopies, scope, error));
    }
  }
  if (error) return {};
  if (logger_) logger_->logWithLevel(level, message, contexts, silent_, monitored_);
  return {};
}

APMPFunctionLogSilent::APMPFunctionLogSilent(std::shared_ptr<APMPLoggerDelegate> logger)
    : APMPFunctionValue(u"silent") {
  setValue(Value(APMPMake<APMPFunctionLog>(std::move(logger), true, true)), u"log");
}

Value APMPFunctionLogSilent::invokeWithArguments(std::span<const Value>, APMPScope&, ErrorRef&) {
  return Value(this);
}

APMPFunctionLogUnmonitored::APMPFunctionLogUnmonitored(std::shared_ptr<APMPLoggerDelegate> logger)
    : APMPFunctionValue(u"unmonitored") {
  setValue(Value(APMPMake<APMPFunctionLog>(std::move(logger), false, false)), u"log");
}

Value APMPFunctionLogUnmonitored::invokeWithArguments(std::span<const Value>, APMPScope&, ErrorRef&) {
  return Value(this);
}

APMPMessageLogger::APMPMessageLogger(std::shared_ptr<APMPLoggerDelegate> logger)
    : APMPFunctionValue(u"internal.logger") {
  setValue(Value(APMPMake<APMPFunctionLog>(logger, false, true)), u"log");
  setValue(Value(APMPMake<APMPFunctionLogSilent>(logger)), u"silent");
  setValue(Value(APMPMake<APMPFunctionLogUnmonitored>(logger)), u"unmonitored");
}

Value APMPMessageLogger::invokeWithArguments(std::span<const Value>, APMPScope&, ErrorRef&) { return {}; }

APMPModuleCreator APMPLoggerModuleCreator() {
  return [] {
    return std::optional<Value>(Value(APMPMake<APMPMessageLogger>(std::make_shared<APMPixieLogger>())));
  };
}
