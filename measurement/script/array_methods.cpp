#include "measurement/script/array_methods.h"

namespace {

// The method table; the methods themselves join it with the array command
// set.
constexpr APMPArrayCommandEvaluator::Entry kArrayMethods[] = {
    {u"", nullptr},
};

}  // namespace

APMPArrayCommandEvaluator::APMPArrayCommandEvaluator() : APMPMethodTable(kArrayMethods) {}

const APMPArrayCommandEvaluator& APMPArrayCommandEvaluator::sharedInstance() {
  static const APMPArrayCommandEvaluator instance;
  return instance;
}
