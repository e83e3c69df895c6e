// `APMPStringCommandEvaluator`: the methods scripts call on string values,
// a fixed table from method name to routine made once per process.
//
// A call evaluates its arguments in the caller's scope and hands the
// routine the string's text and the values. A name the table does not hold
// is error 17. Read-only after creation; any thread.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "measurement/script/runtime_value.h"

class APMPStringCommandEvaluator {
 public:
  using Handler = APMPRuntimeValue (*)(const std::u16string& text, std::span<const APMPRuntimeValue> values,
                                       APMPScope& scope, platform::ErrorRef& error);
  struct Entry {
    std::u16string_view name;
    Handler handler;
  };

  static const APMPStringCommandEvaluator& sharedInstance();

  APMPRuntimeValue evaluateCommand(std::u16string_view name, const std::u16string& text,
                                   std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                   platform::ErrorRef& error) const;

 private:
  APMPStringCommandEvaluator();
  std::span<const Entry> handlers_;
};
