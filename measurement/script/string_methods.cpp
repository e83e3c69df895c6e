#include "measurement/script/string_methods.h"

namespace {

// The method table; the methods themselves join it with the string command
// set.
constexpr APMPStringCommandEvaluator::Entry kStringMethods[] = {
    {u"", nullptr},
};

}  // namespace

APMPStringCommandEvaluator::APMPStringCommandEvaluator() : APMPMethodTable(kStringMethods) {}

const APMPStringCommandEvaluator& APMPStringCommandEvaluator::sharedInstance() {
  static const APMPStringCommandEvaluator instance;
  return instance;
}
