// `APMUserAttribute`: one user property as the engine stores and uploads
// it: who set it, its internal name ("_fot"), its value and when it was
// last set.
//
// Immutable once made; any thread may read it.
#pragma once

#include <memory>
#include <string>

#include "measurement/engine/value.h"
#include "measurement/messages/message_wrappers.h"

class APMUserAttribute {
 public:
  // Null, without a log line, unless the name is a valid internal
  // user-property name and the value a valid value for it
  // (`APMDataTypeValidator`): arrays, empty strings and strings longer than
  // the name allows are refused.
  static std::shared_ptr<APMUserAttribute> initWithOrigin(std::string origin, std::string name,
                                                          APMValue value,
                                                          double lastSetTimestamp);

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  const APMValue& value() const { return value_; }
  // Seconds since 1970.
  double lastSetTimestamp() const { return lastSetTimestamp_; }

  // A name that is not empty and does not begin with "_".
  bool isPublic() const;

  // A new user-attribute message: the name, the value in the field of its
  // kind (a double, an int64 or a string; an array sets none) and the set
  // time in milliseconds truncated toward zero.
  std::shared_ptr<APMPBUserAttribute> protoUserAttribute() const;

  APMUserAttribute(std::string origin, std::string name, APMValue value,
                   double lastSetTimestamp)  // use initWithOrigin
      : origin_(std::move(origin)),
        name_(std::move(name)),
        value_(std::move(value)),
        lastSetTimestamp_(lastSetTimestamp) {}

 private:
  std::string origin_;
  std::string name_;
  APMValue value_;
  double lastSetTimestamp_;
};
