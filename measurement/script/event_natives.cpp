#include "measurement/script/event_natives.h"

#include <bit>
#include <cstring>

#include "measurement/script/charged_conversions.h"
#include "measurement/script/entity_converter.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/object_manager.h"
#include "measurement/script/script_text.h"

using Value = APMPRuntimeValue;
using platform::ErrorRef;
using platform::Object;

namespace {

// A method over its evaluated arguments, whose count is already checked.
using EventMethod = Value (*)(std::span<const Value> values, APMPScope& scope, APMPEventContext& context,
                              ErrorRef& error);

// The parameter name of a method's first argument, in UTF-8. Short ASCII
// names, nearly all of them, are narrowed into a buffer on the stack. A
// name to be stored among `entries` parameters is charged to `copies`
// first: its entry, the bytes of both copies (this one and the event's),
// and its compares on the way in.
class ParameterName {
 public:
  bool read(const Value& value, APMPScope& scope, ErrorRef& error, APMPKeptCopies* copies = nullptr,
            size_t entries = 0) {
    APMPTextForm form;
    const std::u16string* text = APMPChargedTextView(value, form, scope, error);
    if (!text) return false;
    const uint64_t compareWork = kAPMPBindingWork + std::bit_width(entries) * text->size();
    if (text->size() <= sizeof ascii_) {
      char16_t units = 0;
      for (size_t i = 0; i < text->size(); ++i) {
        units |= (*text)[i];
        ascii_[i] = static_cast<char>((*text)[i]);
      }
      if (units < 0x80) {
        name_ = std::string_view(ascii_, text->size());
        return !copies || copies->take(compareWork + text->size(), kAPMPEntryBytes + text->size(), error);
      }
    }
    if (copies) {
      const size_t bytes = script_text::utf8Length(*text);
      if (!copies->take(compareWork + APMPUtf8CopyWork(text->size(), bytes), kAPMPEntryBytes + 2 * bytes, error)) {
        return false;
      }
    }
    utf8_ = script_text::toUtf8(*text);
    name_ = utf8_;
    return true;
  }
  std::string_view view() const noexcept { return name_; }

 private:
  char ascii_[32];
  std::string utf8_;
  std::string_view name_;
};

// What turning an event's value into script values costs: a value for
// each node, and each text's decoding, charged by its bytes at the rate of
// the costliest UTF-8 (two bytes a unit, 8 units of work per unit).
uint64_t copyOutWork(const Object& object) {
  if (const std::string* text = object.string()) return kAPMPValueWork + 4 * uint64_t{text->size()};
  uint64_t work = kAPMPValueWork;
  if (const Object::Array* items = object.array()) {
    for (const Object& item : *items) work += copyOutWork(item);
  } else if (const Object::Dictionary* entries = object.dictionary()) {
    for (const auto& [key, item] : *entries) work += 4 * uint64_t{key.size()} + copyOutWork(item);
  }
  return work;
}

Value getEventName(std::span<const Value>, APMPScope& scope, APMPEventContext& context, ErrorRef& error) {
  const std::string& name = context.outputEvent().name();
  if (!APMPChargeWork(scope, kAPMPValueWork + 4 * uint64_t{name.size()}, error)) return {};
  return Value::string(script_text::toUtf16(name));
}

Value getTimestamp(std::span<const Value>, APMPScope&, APMPEventContext& context, ErrorRef&) {
  return Value::number(context.outputEvent().timestamp());
}

Value getParamValue(std::span<const Value> values, APMPScope& scope, APMPEventContext& context, ErrorRef& error) {
  ParameterName name;
  if (!name.read(values[0], scope, error)) return {};
  const APMPEvent::Parameters& parameters = context.outputEvent().parameters();
  auto it = parameters.find(name.view());
  if (it == parameters.end()) return Value::null();
  // Parameters are texts and numbers, which need no walk of the converter.
  if (it->second.isNumber() && it->second.kind() != Object::Kind::Bool) return Value::number(it->second.doubleValue());
  if (!APMPChargeWork(scope, copyOutWork(it->second), error)) return {};
  if (const std::string* text = it->second.string()) return Value::string(script_text::toUtf16(*text));
  return APMPRuntimeEntityConverter::runtimeValueFromNSObject(it->second, scope, &error);
}

Value getParams(std::span<const Value>, APMPScope& scope, APMPEventContext& context, ErrorRef& error) {
  const APMPEvent::Parameters& parameters = context.outputEvent().parameters();
  uint64_t work = 0;
  for (const auto& [name, parameter] : parameters) work += 4 * uint64_t{name.size()} + copyOutWork(parameter);
  if (!APMPChargeWork(scope, work, error)) return {};
  const APMPRef<APMPMapValue> map = APMPObjectManager::mapValueWithScope(scope);
  for (const auto& [name, parameter] : parameters) {
    Value value = APMPRuntimeEntityConverter::runtimeValueFromNSObject(parameter, scope, &error);
    if (error) return {};
    map->setValue(std::move(value), script_text::toUtf16(name));
  }
  return Value(map);
}

Value setEventName(std::span<const Value> values, APMPScope& scope, APMPEventContext& context, ErrorRef& error) {
  if (values[0].isUndefined() || values[0].isNull()) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return {};
  }
  APMPTextForm form;
  const std::u16string* name = APMPChargedTextView(values[0], form, scope, error);
  if (!name) return {};
  APMPKeptCopies copies(scope);
  const size_t bytes = script_text::utf8Length(*name);
  if (!copies.take(kAPMPValueWork + APMPUtf8CopyWork(name->size(), bytes), bytes, error)) return {};
  context.setOutputName(script_text::toUtf8(*name));
  return name == &form.text() ? Value::string(std::move(form).release()) : values[0];
}

Value setParamValue(std::span<const Value> values, APMPScope& scope, APMPEventContext& context, ErrorRef& error) {
  APMPKeptCopies copies(scope);
  ParameterName name;
  if (!name.read(values[0], scope, error, &copies, context.outputEvent().parameters().size())) return {};
  Object parameter = APMPRuntimeEntityConverter::objectFromRuntimeValue(values[1], copies, &error);
  if (error) return {};
  context.setOutputParameter(std::move(parameter), name.view());
  return values[1];
}

struct EventMethodEntry {
  std::u16string_view name;
  size_t argumentCount;
  EventMethod method;
};

constexpr EventMethodEntry kEventMethods[] = {
    {u"getEventName", 0, getEventName},   {u"getParams", 0, getParams},
    {u"getParamValue", 1, getParamValue}, {u"getTimestamp", 0, getTimestamp},
    {u"setEventName", 1, setEventName},   {u"setParamValue", 2, setParamValue},
};

}  // namespace

APMPRef<APMPEventNativeFunctions> APMPEventNativeFunctions::make(std::shared_ptr<APMPEventContext> eventContext,
                                                                 APMPScope& scope) {
  auto natives = APMPMake<APMPEventNativeFunctions>(std::move(eventContext));
  if (APMPObjectManager* manager = scope.objectManager()) manager->addObject(natives.get());
  return natives;
}

Value APMPEventNativeFunctions::applyWithName(std::u16string_view name, std::span<const Value> arguments,
                                              APMPScope& scope, ErrorRef& error) {
  // Every method name is longer than three units and the names differ in
  // their fourth unit or their length: one look at each finds the entry.
  const EventMethodEntry* found = nullptr;
  for (const EventMethodEntry& entry : kEventMethods) {
    if (entry.name.size() == name.size() && name.size() > 3 && entry.name[3] == name[3] &&
        std::memcmp(entry.name.data(), name.data(), name.size() * sizeof(char16_t)) == 0) {
      found = &entry;
      break;
    }
  }
  if (!found) return APMPMapValue::applyWithName(name, arguments, scope, error);
  return APMPWithEvaluatedValues(arguments, scope, error, [&](std::span<const Value> values) {
    if (!APMPCheckArgumentCount(values, found->argumentCount, error)) return Value();
    return found->method(values, scope, *eventContext_, error);
  });
}
