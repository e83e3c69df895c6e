// Values of experiment flags (`APMPBFlag`): reading a flag's value as an
// object and making a flag from a name and a value. Used by the experiment
// framework; any thread, one flag per thread at a time.
#pragma once

#include "measurement/messages/message_wrappers.h"
#include "platform/object.h"

#include <memory>

// The flag's value: the first present of int_value (a signed number),
// double_value (a floating number), string_value (a string) and bool_value
// (a boolean), in that order; nil for none or for no flag.
platform::Object APMPBFlagValueObject(const APMPBFlag* flag);

// A new flag named `name` holding `value`: a string goes to string_value, a
// floating-point number to double_value, any other number (booleans too)
// to int_value. A nil name, a name that is not a string or a value that is
// neither a number nor a string is logged through APMEMonitor at level 1
// (850000 "Flag name must not be nil", 850001 "Flag name must be a string",
// 850002 "Flag value is invalid", the last two with the object's class) and
// answers null.
std::shared_ptr<APMPBFlag> APMPBFlagWithNameValue(const platform::Object& name,
                                                  const platform::Object& value);
