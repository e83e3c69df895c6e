// `APMPArrayCommandEvaluator`: the methods scripts call on array values,
// made once per process. Read-only after creation; any thread.
#pragma once

#include "measurement/script/method_table.h"
#include "measurement/script/runtime_value.h"

// Whether an array of `count` positions may take `added` more without
// passing `kAPMPMaxArrayLength`; else error 11.
bool APMPArrayCanGrow(size_t count, size_t added, platform::ErrorRef& error);

class APMPArrayCommandEvaluator : public APMPMethodTable<APMPArrayValue&> {
 public:
  static const APMPArrayCommandEvaluator& sharedInstance();

 private:
  APMPArrayCommandEvaluator();
};
