// `APMPMethodTable`: the native methods scripts call on one kind of value
// (arrays, strings), a fixed table from method name to routine.
//
// A call evaluates its arguments in the caller's scope and hands the routine
// the receiver and the values; a name the table does not hold is error 17.
// Tables are constant after construction and may be read from any thread.
#pragma once

#include <span>
#include <string_view>

#include "measurement/script/evaluator.h"
#include "measurement/script/script_error.h"

template <typename Receiver>
class APMPMethodTable {
 public:
  using Handler = APMPRuntimeValue (*)(Receiver receiver, std::span<const APMPRuntimeValue> values,
                                       APMPScope& scope, platform::ErrorRef& error);
  struct Entry {
    std::u16string_view name;
    Handler handler;
  };

  APMPRuntimeValue evaluateCommand(std::u16string_view name, Receiver receiver,
                                   std::span<const APMPRuntimeValue> arguments, APMPScope& scope,
                                   platform::ErrorRef& error) const {
    for (const Entry& entry : entries_) {
      if (entry.handler && entry.name == name) {
        APMPValueList values;
        if (!APMPEvaluateArguments(arguments, scope, error, values)) return {};
        return entry.handler(receiver, values, scope, error);
      }
    }
    APMPSetError(error, kAPMPErrorUnknownMethod);
    return {};
  }

 protected:
  explicit APMPMethodTable(std::span<const Entry> entries) : entries_(entries) {}

 private:
  std::span<const Entry> entries_;
};
