// `APMPStringCommandEvaluator`: the methods scripts call on string values,
// made once per process. Read-only after creation; any thread.
#pragma once

#include <string>

#include "measurement/script/method_table.h"
#include "measurement/script/runtime_value.h"

class APMPStringCommandEvaluator : public APMPMethodTable<const std::u16string&> {
 public:
  static const APMPStringCommandEvaluator& sharedInstance();

 private:
  APMPStringCommandEvaluator();
};
