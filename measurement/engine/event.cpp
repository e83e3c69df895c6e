#include "measurement/engine/event.h"

#include <cmath>
#include <vector>

#include "measurement/engine/data_type_validator.h"
#include "measurement/engine/measurement_errors.h"
#include "measurement/engine/monitor.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_values.h"
#include "measurement/messages/nano_accessors.h"
#include "platform/text.h"

namespace {

using platform::Object;

constexpr long kArgument = 1;
constexpr long kState = 2;

constexpr const char* kNotUtf8 = "Event text is not valid UTF-8";
constexpr const char* kNotOfItsKind = "Event parameter value does not match its type";

bool isUtf8Text(const Object& value) {
  const std::string* text = value.string();
  return !text || platform::isValidUtf8(*text);
}

// Why the message form could not carry `value` so that it reads back: a
// boxed object of another kind carries nothing, and text that is not UTF-8
// is refused by the reader. Null when it can.
const char* refusalOf(const APMValue& value) {
  using Kind = Object::Kind;
  switch (value.valueType()) {
    case APMValueTypeDouble:
      return value.value().kind() == Kind::Double ? nullptr : kNotOfItsKind;
    case APMValueTypeInt64:
      return value.value().isNumber() && value.value().kind() != Kind::Double ? nullptr
                                                                              : kNotOfItsKind;
    case APMValueTypeString:
      if (!value.value().isString()) return kNotOfItsKind;
      return isUtf8Text(value.value()) ? nullptr : kNotUtf8;
    case APMValueTypeArray:
      if (!value.arrayValue()) return kNotOfItsKind;
      for (const Object& element : *value.arrayValue()) {
        const Object::Dictionary* entries = element.dictionary();
        if (!entries) return kNotOfItsKind;
        for (const auto& [entryName, entry] : *entries) {
          if (entryName.empty() || !(entry.isString() || entry.isNumber())) return kNotOfItsKind;
          if (!platform::isValidUtf8(entryName) || !isUtf8Text(entry)) return kNotUtf8;
        }
      }
      return nullptr;
    default:
      return kNotOfItsKind;
  }
}

std::shared_ptr<APMPBEventParam> newParam(std::string_view name) {
  auto param = APMPBEventParam::initWithMessageInfo(nullptr);
  if (param && !name.empty()) APMNanoSetString(param, EventParamField::name, name);
  return param;
}

// A scalar goes to the field of its kind: text, else a floating number,
// else an integer (booleans included).
void setScalar(const std::shared_ptr<APMPBEventParam>& param, const Object& value) {
  if (const std::string* text = value.string()) {
    APMNanoSetString(param, EventParamField::string_value, *text);
  } else if (value.kind() == Object::Kind::Double) {
    APMNanoSetDouble(param, EventParamField::double_value, value.doubleValue());
  } else {
    APMNanoSetInt64(param, EventParamField::int_value, value.int64Value());
  }
}

void setElements(const std::shared_ptr<APMPBEventParam>& param,
                 const std::vector<APMNanoValue>& elements) {
  APMNanoSetRepeated(param, EventParamField::param_value, &elements);
}

std::shared_ptr<APMPBEventParam> paramOf(const std::string& name, const APMValue& value) {
  auto param = newParam(name);
  if (!param) return nullptr;
  if (!value.isArray()) {
    setScalar(param, value.value());
    return param;
  }
  std::vector<APMNanoValue> elements;
  for (const Object& element : *value.arrayValue()) {
    if (element.dictionary()->empty()) continue;
    auto item = newParam({});
    if (!item) return nullptr;
    std::vector<APMNanoValue> entries;
    for (const auto& [entryName, entry] : *element.dictionary()) {
      auto field = newParam(entryName);
      if (!field) return nullptr;
      setScalar(field, entry);
      entries.emplace_back(std::move(field));
    }
    setElements(item, entries);
    elements.emplace_back(std::move(item));
  }
  setElements(param, elements);
  return param;
}

// An array without an element that has entries has no message form: a
// parameter with neither a value nor elements does not read back.
bool hasMessageForm(const APMValue& value) {
  if (!value.isArray()) return true;
  for (const Object& element : *value.arrayValue()) {
    if (!element.dictionary()->empty()) return true;
  }
  return false;
}

std::vector<std::shared_ptr<APMPBEventParam>> elementsOf(const APMPBEventParam& param) {
  std::vector<std::shared_ptr<APMPBEventParam>> elements;
  NANOMessageClass paramClass = APMPBEventParam::messageClass();
  auto items = APMNanoGetRepeated(&param, EventParamField::param_value, &paramClass);
  if (!items) return elements;
  elements.reserve(items->size());
  for (APMNanoValue& item : *items) {
    if (auto* message = std::get_if<std::shared_ptr<NANOMessageBase>>(&item)) {
      elements.push_back(std::static_pointer_cast<APMPBEventParam>(*message));
    }
  }
  return elements;
}

Object dictionaryOf(const APMEvent::Parameters& parameters) {
  Object::Dictionary entries;
  for (const auto& [name, value] : parameters) entries.emplace(name, value.value());
  return Object(std::move(entries));
}

}  // namespace

std::shared_ptr<APMEvent> APMEvent::initWithOrigin(std::string origin, bool isPublic,
                                                   std::string name, double timestamp,
                                                   double previousTimestamp, Parameters parameters,
                                                   platform::ErrorRef* error) {
  auto refuse = [error](const char* text) {
    APMSetError(error, kArgument, text);
    return nullptr;
  };
  if (origin.empty()) return refuse("Event origin is empty");
  if (!APMDataTypeValidator::isValidInternalEventName(name)) {
    return refuse("Event name is not a valid internal event name");
  }
  if (!platform::isValidUtf8(origin) || !platform::isValidUtf8(name)) return refuse(kNotUtf8);
  // Milliseconds of NaN would be stored as 0, and of an infinity as the
  // end of the range.
  if (!std::isfinite(timestamp) || !std::isfinite(previousTimestamp)) {
    return refuse("Event time is not a finite number");
  }
  for (const auto& [parameterName, value] : parameters) {
    if (parameterName.empty()) return refuse("Event parameter name is empty");
    if (!platform::isValidUtf8(parameterName)) return refuse(kNotUtf8);
    if (const char* refusal = refusalOf(value)) return refuse(refusal);
  }
  if (previousTimestamp > timestamp) {
    APMMeasurement::monitor()->logWithLevel(
        4, 16002, "Event created with previous timestamp after current timestamp", name);
  }
  parameters.insert_or_assign(kOriginParameter, APMValue(origin));
  return std::make_shared<APMEvent>(CheckedKey{}, std::move(origin), isPublic, std::move(name),
                                    timestamp, previousTimestamp, std::move(parameters));
}

std::shared_ptr<APMEvent> APMEvent::initWithEventProto(const APMPBEvent* event) {
  if (!event) return nullptr;
  std::optional<std::string> name = APMNanoGetString(event, EventField::name);
  if (!name) return nullptr;
  NANOMessageClass paramClass = APMPBEventParam::messageClass();
  auto params = APMNanoGetRepeated(event, EventField::params, &paramClass);
  if (!params) return nullptr;
  std::optional<std::string> origin;
  Parameters parameters;
  for (APMNanoValue& item : *params) {
    auto* message = std::get_if<std::shared_ptr<NANOMessageBase>>(&item);
    if (!message) return nullptr;
    auto* param = static_cast<const APMPBEventParam*>(message->get());
    if (APMNanoGetString(param, EventParamField::name) == kOriginParameter) {
      origin = APMNanoGetString(param, EventParamField::string_value);
      if (!origin) return nullptr;
      continue;
    }
    std::optional<Parameters> decoded = APMDictionaryFromEventParam(param, false);
    if (!decoded) return nullptr;
    parameters.merge(*decoded);
  }
  if (!origin) return nullptr;
  double previousTimestamp = 0;
  if (APMNanoHasField(event, EventField::previous_timestamp_millis)) {
    previousTimestamp = messages::secondsFromMilliseconds(
        APMNanoGetInt64(event, EventField::previous_timestamp_millis));
  }
  return initWithOrigin(std::move(*origin), false, std::move(*name),
                        messages::secondsFromMilliseconds(
                            APMNanoGetInt64(event, EventField::timestamp_millis)),
                        previousTimestamp, std::move(parameters));
}

std::shared_ptr<APMPBEvent> APMEvent::protoEvent() const {
  auto event = APMPBEvent::initWithMessageInfo(nullptr);
  if (!event) return nullptr;
  std::vector<APMNanoValue> params;
  params.reserve(parameters_.size());
  for (const auto& [name, value] : parameters_) {
    if (!hasMessageForm(value)) continue;
    std::shared_ptr<APMPBEventParam> param = paramOf(name, value);
    if (!param) return nullptr;
    params.emplace_back(std::move(param));
  }
  APMNanoSetRepeated(event, EventField::params, &params);
  APMNanoSetString(event, EventField::name, name_);
  APMNanoSetInt64(event, EventField::timestamp_millis, messages::millisecondsFromSeconds(timestamp_));
  if (previousTimestamp_ > 0) {
    APMNanoSetInt64(event, EventField::previous_timestamp_millis,
                    messages::millisecondsFromSeconds(previousTimestamp_));
  }
  return event;
}

std::optional<APMEvent::Parameters> APMDictionaryFromEventParam(const APMPBEventParam* param,
                                                                bool nested,
                                                                platform::ErrorRef* error) {
  if (!param) {
    APMSetError(error, kArgument, "Failed to parse empty event params data");
    return std::nullopt;
  }
  std::string name = APMNanoGetString(param, EventParamField::name).value_or("");
  if (!nested && name.empty()) {
    APMSetError(error, kArgument, "Event parameter name is empty");
    return std::nullopt;
  }
  auto single = [&](APMValue value) {
    APMEvent::Parameters answer;
    answer.emplace(std::move(name), std::move(value));
    return answer;
  };
  if (std::optional<std::string> text = APMNanoGetString(param, EventParamField::string_value)) {
    return single(APMValue(std::move(*text)));
  }
  if (APMNanoHasField(param, EventParamField::int_value)) {
    return single(APMValue(APMNanoGetInt64(param, EventParamField::int_value)));
  }
  if (APMNanoHasField(param, EventParamField::double_value)) {
    return single(APMValue(APMNanoGetDouble(param, EventParamField::double_value)));
  }
  std::vector<std::shared_ptr<APMPBEventParam>> elements = elementsOf(*param);
  if (elements.empty()) {
    APMSetError(error, kState, "Failed to parse invalid event params data");
    return std::nullopt;
  }
  if (!nested) {
    Object::Array array;
    array.reserve(elements.size());
    // An element without readable entries is left out like one that fails;
    // the array stays, empty when none is left, so that one damaged element
    // cannot cost the event its other parameters.
    for (const auto& element : elements) {
      auto entries = APMDictionaryFromEventParam(element.get(), true);
      if (entries && !entries->empty()) array.push_back(dictionaryOf(*entries));
    }
    return single(APMValue(std::move(array)));
  }
  // An array element: its entries, each a named scalar.
  APMEvent::Parameters entries;
  for (const auto& element : elements) {
    std::optional<std::string> entryName = APMNanoGetString(element.get(), EventParamField::name);
    std::optional<APMEvent::Parameters> decoded = APMDictionaryFromEventParam(element.get(), true);
    if (!entryName || !decoded) continue;
    auto found = decoded->find(*entryName);
    if (found != decoded->end()) entries.insert_or_assign(found->first, found->second);
  }
  return entries;
}
