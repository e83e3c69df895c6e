// `APMPArrayCommandEvaluator`: the methods scripts call on array values,
// made once per process. Read-only after creation; any thread.
#pragma once

#include "measurement/script/method_table.h"
#include "measurement/script/runtime_value.h"

class APMPArrayCommandEvaluator : public APMPMethodTable<APMPArrayValue&> {
 public:
  static const APMPArrayCommandEvaluator& sharedInstance();

 private:
  APMPArrayCommandEvaluator();
};
