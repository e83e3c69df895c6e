#include "measurement/storage/models/user_attribute.h"

#include "measurement/engine/data_type_validator.h"
#include "measurement/engine/event_names.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_values.h"
#include "measurement/messages/nano_accessors.h"

std::shared_ptr<APMUserAttribute> APMUserAttribute::initWithOrigin(std::string origin,
                                                                   std::string name,
                                                                   APMValue value,
                                                                   double lastSetTimestamp) {
  if (!APMDataTypeValidator::isValidInternalUserAttributeName(name) ||
      !APMDataTypeValidator::isValidInternalUserAttributeValue(value.value(), name)) {
    return nullptr;
  }
  return std::make_shared<APMUserAttribute>(std::move(origin), std::move(name), std::move(value),
                                            lastSetTimestamp);
}

bool APMUserAttribute::isPublic() const {
  return APMIsPublicName(name_);
}

std::shared_ptr<APMPBUserAttribute> APMUserAttribute::protoUserAttribute() const {
  auto message = APMPBUserAttribute::initWithMessageInfo(nullptr);
  if (!message) return nullptr;
  APMNanoSetString(message, UserAttributeField::name, name_);
  if (value_.isDouble()) {
    APMNanoSetDouble(message, UserAttributeField::double_value, value_.doubleValue());
  } else if (value_.isInt64()) {
    APMNanoSetInt64(message, UserAttributeField::int_value, value_.int64Value());
  } else if (const std::string* text = value_.stringValue()) {
    APMNanoSetString(message, UserAttributeField::string_value, *text);
  }
  APMNanoSetInt64(message, UserAttributeField::set_timestamp_millis,
                  messages::millisecondsFromSeconds(lastSetTimestamp_));
  return message;
}
