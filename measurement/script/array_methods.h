// `APMPArrayCommandEvaluator`: the methods scripts call on array values,
// a fixed table from method name to routine made once per process.
//
// A call evaluates its arguments in the caller's scope and hands the
// routine the array and the values. A name the table does not hold
// is error 17. Read-only after creation; any thread.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "measurement/script/runtime_value.h"

class APMPArrayCommandEvaluator {
 public:
  using Handler = APMPRuntimeValue (*)(APMPArrayValue& array, std::span<const APMPRuntimeValue> values,
                                       APMPScope& scope, platform::ErrorRef& error);
  struct Entry {
    std::u16string_view name;
    Handler handler;
  };

  static const APMPArrayCommandEvaluator& sharedInstance();

  APMPRuntimeValue evaluateCommand(std::u16string_view name, APMPArrayValue& array,
                                   std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                   platform::ErrorRef& error) const;

 private:
  APMPArrayCommandEvaluator();
  std::span<const Entry> handlers_;
};
