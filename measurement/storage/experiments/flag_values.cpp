#include "measurement/storage/experiments/flag_values.h"

#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/experiments/experiment_monitor.h"

#include <string>

platform::Object APMPBFlagValueObject(const APMPBFlag* flag) {
  if (!flag) return {};
  if (APMNanoHasField(flag, FlagField::int_value))
    return APMNanoGetInt64(flag, FlagField::int_value);
  if (APMNanoHasField(flag, FlagField::double_value)) {
    return APMNanoGetDouble(flag, FlagField::double_value);
  }
  if (APMNanoHasField(flag, FlagField::string_value)) {
    std::optional<std::string> text = APMNanoGetString(flag, FlagField::string_value);
    return text ? platform::Object(*text) : platform::Object();
  }
  if (APMNanoHasField(flag, FlagField::bool_value)) {
    return APMNanoGetBool(flag, FlagField::bool_value);
  }
  return {};
}

std::shared_ptr<APMPBFlag> APMPBFlagWithNameValue(const platform::Object& name,
                                                  const platform::Object& value) {
  if (name.isNil()) {
    APMEMonitor::monitor()->logWithLevel(1, 850000, "Flag name must not be nil");
    return nullptr;
  }
  if (!name.isString()) {
    APMEMonitor::monitor()->logWithLevel(1, 850001, "Flag name must be a string", nanoObjectClassName(name));
    return nullptr;
  }
  if (!value.isNumber() && !value.isString()) {
    APMEMonitor::monitor()->logWithLevel(1, 850002, "Flag value is invalid", nanoObjectClassName(value));
    return nullptr;
  }
  std::shared_ptr<APMPBFlag> flag = APMPBFlag::initWithBuffer(nullptr);
  if (!flag) return nullptr;
  APMNanoSetString(flag, FlagField::name, *name.string());
  if (value.isString()) {
    APMNanoSetString(flag, FlagField::string_value, *value.string());
  } else if (value.kind() == platform::Object::Kind::Double) {
    APMNanoSetDouble(flag, FlagField::double_value, value.doubleValue());
  } else {
    APMNanoSetInt64(flag, FlagField::int_value, value.int64Value());
  }
  return flag;
}
