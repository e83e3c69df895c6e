#include "measurement/script/entity_converter.h"

#include <cmath>
#include <limits>
#include <unordered_map>

#include "measurement/script/object_manager.h"
#include "measurement/script/scope.h"
#include "measurement/script/script_error.h"
#include "measurement/script/script_text.h"

using Value = APMPRuntimeValue;
using platform::ErrorRef;
using platform::Object;

namespace {

// Field access on a program entity; the conversion below is written once
// against these, for any entity form that provides them: the node type
// (0 when absent), the optional texts, boolean and number, and a visit of
// the operands in order (stopping when the visitor answers false).
int32_t entityType(const APMPProgramEntity& entity) { return entity.type; }
std::optional<std::string> entityName(const APMPProgramEntity& entity) { return entity.name; }
std::optional<std::string> entityString(const APMPProgramEntity& entity) { return entity.stringValue; }
std::optional<bool> entityBoolean(const APMPProgramEntity& entity) { return entity.booleanValue; }
std::optional<double> entityNumber(const APMPProgramEntity& entity) { return entity.numberValue; }
size_t entityOperandCount(const APMPProgramEntity& entity) { return entity.value.size(); }
template <class Visit>
void forEachOperand(const APMPProgramEntity& entity, Visit visit) {
  for (const APMPProgramEntity& operand : entity.value) {
    if (!visit(operand)) return;
  }
}

// The same on the record of a RuntimeEntity message (message_info.h): one
// slot per field ID, null when the field is absent. Operand records of
// another message type, or missing ones, read as entities without fields.
const MessageInfo& emptyEntity() {
  static void* const noSlots[RuntimeEntityField::kFieldCount] = {};
  static const MessageInfo empty{const_cast<void**>(noSlots), nullptr, "RuntimeEntity"};
  return empty;
}
const void* slot(const MessageInfo& record, int32_t field) { return record.slots ? record.slots[field] : nullptr; }
int32_t entityType(const MessageInfo& record) {
  const void* cell = slot(record, RuntimeEntityField::type);
  // Enums are stored zero-extended; the value is the low 32 bits.
  return cell ? static_cast<int32_t>(static_cast<uint32_t>(*static_cast<const uint64_t*>(cell))) : 0;
}
std::optional<std::string> textField(const MessageInfo& record, int32_t field) {
  const auto* text = static_cast<const APMNanoBytes*>(slot(record, field));
  if (!text || !text->data) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(text->data), text->length);
}
std::optional<std::string> entityName(const MessageInfo& record) {
  return textField(record, RuntimeEntityField::name);
}
std::optional<std::string> entityString(const MessageInfo& record) {
  return textField(record, RuntimeEntityField::string_value);
}
std::optional<bool> entityBoolean(const MessageInfo& record) {
  const void* cell = slot(record, RuntimeEntityField::boolean_value);
  if (!cell) return std::nullopt;
  return *static_cast<const uint8_t*>(cell) != 0;
}
std::optional<double> entityNumber(const MessageInfo& record) {
  const void* cell = slot(record, RuntimeEntityField::number_value);
  if (!cell) return std::nullopt;
  return *static_cast<const double*>(cell);
}
const APMNanoRepeated* operands(const MessageInfo& record) {
  return static_cast<const APMNanoRepeated*>(slot(record, RuntimeEntityField::value));
}
size_t entityOperandCount(const MessageInfo& record) {
  const APMNanoRepeated* list = operands(record);
  return list && list->items ? list->count : 0;
}
template <class Visit>
void forEachOperand(const MessageInfo& record, Visit visit) {
  const APMNanoRepeated* list = operands(record);
  for (uint32_t i = 0; list && list->items && i < list->count; ++i) {
    const auto* item = static_cast<const MessageInfo*>(list->items[i]);
    const bool sameType = item && item->slots && item->kinds == record.kinds;
    if (!visit(sameType ? *item : emptyEntity())) return;
  }
}
const MessageInfo& recordOf(const APMPBRuntimeEntity& entity) {
  const MessageInfo* record = entity.messageInfo();
  return record && record->slots ? *record : emptyEntity();
}

// The string literals of one program conversion: equal texts share one
// immutable cell, which keeps a converted program small and its statements
// close together.
class Texts {
 public:
  APMPRef<APMPStringValue> intern(const std::optional<std::string>& utf8) {
    std::u16string text = utf8 ? script_text::toUtf16(*utf8) : std::u16string();
    auto it = cells_.find(text);
    if (it != cells_.end()) return it->second;
    auto cell = APMPMake<APMPStringValue>(text);
    cells_.emplace(std::move(text), cell);
    return cell;
  }

 private:
  std::unordered_map<std::u16string, APMPRef<APMPStringValue>> cells_;
};

template <class Entity>
Value stringFromEntity(const Entity& entity, Texts& texts) {
  return Value(texts.intern(entityString(entity)));
}

template <class Entity>
Value numberFromEntity(const Entity& entity) {
  return Value::number(entityNumber(entity).value_or(std::numeric_limits<double>::quiet_NaN()));
}

template <class Entity>
Value booleanFromEntity(const Entity& entity) {
  return Value::boolean(entityBoolean(entity).value_or(false));
}

template <class Entity>
Value valueFromEntity(const Entity& entity, int depth, Texts& texts, ErrorRef& error);

template <class Entity>
Value statementFromEntity(const Entity& entity, int depth, Texts& texts, ErrorRef& error) {
  const std::optional<std::string> name = entityName(entity);
  if (!name) {
    APMPSetError(error, kAPMPErrorMissingFunctionName);
    return {};
  }
  if (depth >= kAPMPMaxProgramDepth) {
    APMPSetError(error, kAPMPErrorLimit);
    return {};
  }
  std::vector<Value> arguments;
  arguments.reserve(entityOperandCount(entity));
  forEachOperand(entity, [&](const auto& operand) {
    arguments.push_back(valueFromEntity(operand, depth + 1, texts, error));
    return !error;
  });
  if (error) return {};
  return Value(APMPStatementValue::make(script_text::toUtf16(*name), arguments));
}

template <class Entity>
Value valueFromEntity(const Entity& entity, int depth, Texts& texts, ErrorRef& error) {
  switch (entityType(entity)) {
    case kAPMPEntityString:
      return stringFromEntity(entity, texts);
    case kAPMPEntityNumber:
      return numberFromEntity(entity);
    case kAPMPEntityBoolean:
      return booleanFromEntity(entity);
    case kAPMPEntityStatement:
      return statementFromEntity(entity, depth, texts, error);
    default:
      APMPSetError(error, kAPMPErrorEntityType);
      return {};
  }
}

// The bounds of one value conversion.
struct Walk {
  size_t nodes = 0;
  int depth = 0;
  std::vector<const APMPCell*> path;  // maps and arrays being converted

  // False with error 18 past the bounds, or error 10 on a cycle.
  bool enter(const APMPCell* cell, ErrorRef& error) {
    if (++nodes > kAPMPMaxValueWalk || depth >= kAPMPMaxValueNesting) {
      APMPSetError(error, kAPMPErrorLimit);
      return false;
    }
    if (cell) {
      for (const APMPCell* open : path) {
        if (open == cell) {
          APMPSetError(error, kAPMPErrorArgumentKind);
          return false;
        }
      }
      path.push_back(cell);
    }
    ++depth;
    return true;
  }
  void leave(const APMPCell* cell) {
    --depth;
    if (cell) path.pop_back();
  }
};

Value valueFromObject(const Object& object, APMPScope& scope, ErrorRef& error, Walk& walk) {
  switch (object.kind()) {
    case Object::Kind::Nil:
      return Value::null();
    case Object::Kind::String:
      return Value::string(script_text::toUtf16(*object.string()));
    case Object::Kind::Bool:
      return Value::boolean(object.boolValue());
    case Object::Kind::Int:
    case Object::Kind::UInt:
    case Object::Kind::Double:
      return Value::number(object.doubleValue());
    case Object::Kind::Dictionary: {
      if (!walk.enter(nullptr, error)) return {};
      const APMPRef<APMPMapValue> map = APMPObjectManager::mapValueWithScope(scope);
      for (const auto& [key, item] : *object.dictionary()) {
        Value converted = valueFromObject(item, scope, error, walk);
        if (error) return {};
        map->setValue(std::move(converted), script_text::toUtf16(key));
      }
      walk.leave(nullptr);
      return Value(map);
    }
    case Object::Kind::Array: {
      if (!walk.enter(nullptr, error)) return {};
      std::vector<Value> elements;
      elements.reserve(object.array()->size());
      for (const Object& item : *object.array()) {
        elements.push_back(valueFromObject(item, scope, error, walk));
        if (error) return {};
      }
      walk.leave(nullptr);
      return Value(APMPObjectManager::arrayValueWithArray(std::move(elements), scope));
    }
    default:
      APMPSetError(error, kAPMPErrorUnconvertibleObject);
      return {};
  }
}

Object objectFromValue(const Value& value, ErrorRef& error, Walk& walk);

Object::Dictionary dictionaryFromProperties(const APMPPropertyMap& properties, ErrorRef& error, Walk& walk) {
  Object::Dictionary dictionary;
  // No script runs during a conversion, so the table stays as it is.
  for (const APMPPropertyMap::Entry& entry : properties.entries()) {
    Object converted = objectFromValue(entry.value, error, walk);
    if (!converted.isNil()) dictionary.insert_or_assign(script_text::toUtf8(entry.name), std::move(converted));
    if (error) break;
  }
  return dictionary;
}

Object objectFromValue(const Value& value, ErrorRef& error, Walk& walk) {
  if (value.isNull()) return Object();
  if (value.isUndefined()) return Object("");
  if (const APMPMapValue* map = value.asMap()) {
    if (!walk.enter(value.cell(), error)) return Object();
    Object::Dictionary dictionary = dictionaryFromProperties(map->propertyMap(), error, walk);
    walk.leave(value.cell());
    return Object(std::move(dictionary));
  }
  if (const APMPArrayValue* array = value.asArray()) {
    if (!walk.enter(value.cell(), error)) return Object();
    Object::Array list;
    for (const Value& element : array->allElements()) {
      Object converted = objectFromValue(element, error, walk);
      if (!converted.isNil()) list.push_back(std::move(converted));
      if (error) break;
    }
    walk.leave(value.cell());
    return Object(std::move(list));
  }
  ErrorRef numberError;
  const double number = value.doubleValueOrError(numberError);
  if (!numberError && !std::isnan(number)) return Object(number);
  const std::u16string text = value.stringValueOrError(error);
  if (error) return Object();
  return Object(script_text::toUtf8(text));
}

// Runs `convert` with a local error slot and copies a failure out.
template <class Convert>
auto reporting(ErrorRef* out, Convert convert) {
  ErrorRef error;
  auto result = convert(error);
  if (error) platform::setError(out, error);
  return result;
}

}  // namespace

Value APMPRuntimeEntityConverter::stringValueFromRuntimeEntity(const APMPProgramEntity& entity) {
  Texts texts;
  return stringFromEntity(entity, texts);
}

Value APMPRuntimeEntityConverter::numberValueFromRuntimeEntity(const APMPProgramEntity& entity) {
  return numberFromEntity(entity);
}

Value APMPRuntimeEntityConverter::booleanValueFromRuntimeEntity(const APMPProgramEntity& entity) {
  return booleanFromEntity(entity);
}

Value APMPRuntimeEntityConverter::statementValueFromRuntimeEntity(const APMPProgramEntity& entity, ErrorRef* error) {
  return reporting(error, [&](ErrorRef& e) {
    Texts texts;
    return statementFromEntity(entity, 0, texts, e);
  });
}

Value APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(const APMPProgramEntity& entity, ErrorRef* error) {
  return reporting(error, [&](ErrorRef& e) {
    Texts texts;
    return valueFromEntity(entity, 0, texts, e);
  });
}

Value APMPRuntimeEntityConverter::runtimeValueFromNSObject(const Object& object, APMPScope& scope, ErrorRef* error) {
  return reporting(error, [&](ErrorRef& e) {
    Walk walk;
    return valueFromObject(object, scope, e, walk);
  });
}

Object APMPRuntimeEntityConverter::objectFromRuntimeValue(const Value& value, ErrorRef* error) {
  return reporting(error, [&](ErrorRef& e) {
    Walk walk;
    return objectFromValue(value, e, walk);
  });
}

Object::Dictionary APMPRuntimeEntityConverter::dictionaryFromMapValue(const Value& value, ErrorRef* error) {
  return reporting(error, [&](ErrorRef& e) {
    const APMPPropertyMap* properties = nullptr;
    if (const APMPMapValue* map = value.asMap()) properties = &map->propertyMap();
    if (const APMPFunctionValue* function = value.asFunction()) properties = &function->propertyMap();
    Walk walk;
    if (!properties || !walk.enter(value.cell(), e)) {
      APMPSetError(e, kAPMPErrorArgumentKind);
      return Object::Dictionary();
    }
    return dictionaryFromProperties(*properties, e, walk);
  });
}

Value APMPRuntimeEntityConverter::stringValueFromRuntimeEntity(const APMPBRuntimeEntity& entity) {
  Texts texts;
  return stringFromEntity(recordOf(entity), texts);
}

Value APMPRuntimeEntityConverter::numberValueFromRuntimeEntity(const APMPBRuntimeEntity& entity) {
  return numberFromEntity(recordOf(entity));
}

Value APMPRuntimeEntityConverter::booleanValueFromRuntimeEntity(const APMPBRuntimeEntity& entity) {
  return booleanFromEntity(recordOf(entity));
}

Value APMPRuntimeEntityConverter::statementValueFromRuntimeEntity(const APMPBRuntimeEntity& entity,
                                                                  ErrorRef* error) {
  return reporting(error, [&](ErrorRef& e) {
    Texts texts;
    return statementFromEntity(recordOf(entity), 0, texts, e);
  });
}

Value APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(const APMPBRuntimeEntity& entity, ErrorRef* error) {
  return reporting(error, [&](ErrorRef& e) {
    Texts texts;
    return valueFromEntity(recordOf(entity), 0, texts, e);
  });
}
