#include "measurement/script/entity_converter.h"

#include <bit>
#include <cmath>
#include <limits>
#include <tuple>
#include <unordered_map>

#include "measurement/script/evaluator.h"
#include "measurement/script/event.h"
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
// the operands in order.
int32_t entityType(const APMPProgramEntity& entity) { return entity.type; }
std::optional<std::string_view> optionalText(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return std::string_view(*text);
}
std::optional<std::string_view> entityName(const APMPProgramEntity& entity) { return optionalText(entity.name); }
std::optional<std::string_view> entityString(const APMPProgramEntity& entity) {
  return optionalText(entity.stringValue);
}
std::optional<bool> entityBoolean(const APMPProgramEntity& entity) { return entity.booleanValue; }
std::optional<double> entityNumber(const APMPProgramEntity& entity) { return entity.numberValue; }
size_t entityOperandCount(const APMPProgramEntity& entity) { return entity.value.size(); }
template <class Visit>
bool forEachOperand(const APMPProgramEntity& entity, Visit visit) {
  for (const APMPProgramEntity& operand : entity.value) {
    if (!visit(operand)) return false;
  }
  return true;
}

// The same on the record of a RuntimeEntity message (message_info.h): one
// slot per field ID, null when the field is absent. Operand records of
// another message type, or missing ones, read as entities without fields.
int32_t entityType(const MessageInfo& record) {
  const void* cell = APMPRecordSlot(record, RuntimeEntityField::type);
  // Enums are stored zero-extended; the value is the low 32 bits.
  return cell ? static_cast<int32_t>(static_cast<uint32_t>(*static_cast<const uint64_t*>(cell))) : 0;
}
std::optional<std::string_view> entityName(const MessageInfo& record) {
  return APMPRecordText(record, RuntimeEntityField::name);
}
std::optional<std::string_view> entityString(const MessageInfo& record) {
  return APMPRecordText(record, RuntimeEntityField::string_value);
}
std::optional<bool> entityBoolean(const MessageInfo& record) {
  const void* cell = APMPRecordSlot(record, RuntimeEntityField::boolean_value);
  if (!cell) return std::nullopt;
  return *static_cast<const uint8_t*>(cell) != 0;
}
std::optional<double> entityNumber(const MessageInfo& record) {
  const void* cell = APMPRecordSlot(record, RuntimeEntityField::number_value);
  if (!cell) return std::nullopt;
  return *static_cast<const double*>(cell);
}
const APMNanoRepeated* operands(const MessageInfo& record) {
  return static_cast<const APMNanoRepeated*>(APMPRecordSlot(record, RuntimeEntityField::value));
}
size_t entityOperandCount(const MessageInfo& record) {
  const APMNanoRepeated* list = operands(record);
  return list && list->items ? list->count : 0;
}
template <class Visit>
bool forEachOperand(const MessageInfo& record, Visit visit) {
  const APMNanoRepeated* list = operands(record);
  for (uint32_t i = 0; list && list->items && i < list->count; ++i) {
    const auto* item = static_cast<const MessageInfo*>(list->items[i]);
    const bool sameType = item && item->slots && item->kinds == record.kinds;
    if (!visit(sameType ? *item : APMPEmptyEntityRecord())) return false;
  }
  return true;
}
const MessageInfo& recordOf(const APMPBRuntimeEntity& entity) {
  const MessageInfo* record = entity.messageInfo();
  return record && record->slots ? *record : APMPEmptyEntityRecord();
}
const MessageInfo& recordOf(const std::shared_ptr<APMPBRuntimeEntity>& entity) {
  return entity ? recordOf(*entity) : APMPEmptyEntityRecord();
}

// One conversion of program entities into runtime values, in two walks.
// The first reads the entities, checks each as the conversion meets it
// (first error wins) and notes its nodes, resolved, in a flat list; the
// second, which cannot fail, lays out the statements from that list in one block, each
// followed by its arguments and then by the statements among them, so that
// evaluation reads the program front to back. Equal texts and function
// names share one cell.
class Conversion {
 public:
  // Notes one entity and everything under it; false with the error at the
  // first entity that cannot convert.
  template <class Entity>
  bool read(const Entity& entity, int depth, ErrorRef& error) {
    Node node{entityType(entity), 0, {}, nullptr};
    switch (node.type) {
      case kAPMPEntityString:
        node.name = intern(texts_, entityString(entity).value_or(std::string_view()));
        break;
      case kAPMPEntityNumber:
        node.number = entityNumber(entity).value_or(std::numeric_limits<double>::quiet_NaN());
        break;
      case kAPMPEntityBoolean:
        node.boolean = entityBoolean(entity).value_or(false);
        break;
      case kAPMPEntityStatement:
        return readStatement(entity, depth, error);
      default:
        APMPSetError(error, kAPMPErrorEntityType);
        return false;
    }
    nodes_.push_back(node);
    return true;
  }

  template <class Entity>
  bool readStatement(const Entity& entity, int depth, ErrorRef& error) {
    const std::optional<std::string_view> name = entityName(entity);
    if (!name) {
      APMPSetError(error, kAPMPErrorMissingFunctionName);
      return false;
    }
    if (depth >= kAPMPMaxProgramDepth) {
      APMPSetError(error, kAPMPErrorLimit);
      return false;
    }
    const size_t count = entityOperandCount(entity);
    bytes_ += APMPStatementBlock::statementBytes(count);
    Node node{kAPMPEntityStatement, static_cast<uint32_t>(count), {}, nullptr};
    std::tie(node.name, node.handler) = functionName(*name);
    nodes_.push_back(node);
    return forEachOperand(entity, [&](const auto& operand) { return read(operand, depth + 1, error); });
  }

  // After the reading walks, before `build`.
  void allocate() {
    if (bytes_ > 0) block_.emplace(bytes_);
  }

  // The value of the next node noted.
  Value build() {
    const Node& node = nodes_[next_++];
    switch (node.type) {
      case kAPMPEntityString:
        return Value(static_cast<APMPStringValue*>(const_cast<void*>(node.name)));
      case kAPMPEntityNumber:
        return Value::number(node.number);
      case kAPMPEntityBoolean:
        return Value::boolean(node.boolean);
      default: {
        APMPStatementValue* statement = block_->place(node.name, node.handler, node.count);
        Value result(statement);
        for (uint32_t i = 0; i < node.count; ++i) APMPStatementBlock::setArgument(*statement, i, build());
        return result;
      }
    }
  }

 private:
  // An entity as read: its type, its operand count (statements), and its
  // value: a number, a boolean, a string cell, or a statement's name (the
  // registrar's text with its routine, or a string cell). Everything is
  // resolved while the entity is at hand, so that building reads only
  // these.
  struct Node {
    int32_t type;
    uint32_t count;
    union {
      double number;
      bool boolean;
      const void* name;
    };
    APMPCommandHandler handler;
  };

  // Keyed by the entities' own bytes, which outlive the conversion; hashed
  // under a key of the table's own, as the program chooses the texts.
  using Cells = std::unordered_map<std::string_view, APMPRef<APMPStringValue>, APMPNameHash>;

  // The one cell of `utf8` in `cells`, made on first use.
  static APMPStringValue* intern(Cells& cells, std::string_view utf8) {
    auto it = cells.find(utf8);
    if (it == cells.end()) it = cells.emplace(utf8, APMPMake<APMPStringValue>(script_text::toUtf16(utf8))).first;
    return it->second.get();
  }

  // Opcodes are found without hashing; other names are made once.
  std::pair<const void*, APMPCommandHandler> functionName(std::string_view utf8) {
    if (const auto* opcode = registrar_.commandForUtf8Name(utf8)) return {&opcode->first, opcode->second};
    return {intern(names_, utf8), nullptr};
  }

  std::vector<Node> nodes_;
  size_t next_ = 0;
  size_t bytes_ = 0;
  std::optional<APMPStatementBlock> block_;
  Cells texts_;
  Cells names_;
  const APMPCommandRegistrar& registrar_ = APMPCommandRegistrar::sharedInstance();
};

template <class Entity>
Value convertEntity(const Entity& entity, ErrorRef& error) {
  Conversion conversion;
  if (!conversion.read(entity, 0, error)) return {};
  conversion.allocate();
  return conversion.build();
}

template <class Entity>
Value convertStatement(const Entity& entity, ErrorRef& error) {
  Conversion conversion;
  if (!conversion.readStatement(entity, 0, error)) return {};
  conversion.allocate();
  return conversion.build();
}

// A list in one block: the entities before the first that fails.
template <class Entities, class EntityOf>
APMPConvertedStatements convertList(const Entities& entities, EntityOf entityOf) {
  APMPConvertedStatements converted;
  Conversion conversion;
  size_t accepted = 0;
  // The nodes of a failed entity stay noted but are never built.
  while (accepted < entities.size() && conversion.read(entityOf(entities[accepted]), 0, converted.error)) {
    ++accepted;
  }
  conversion.allocate();
  converted.values.reserve(accepted);
  for (size_t i = 0; i < accepted; ++i) converted.values.push_back(conversion.build());
  return converted;
}

// The bounds of one value conversion, and the charges of a copy kept
// outside the runtime's values.
struct Walk {
  size_t nodes = 0;
  int depth = 0;
  std::vector<const APMPCell*> path;  // maps and arrays being converted
  APMPKeptCopies* copies = nullptr;

  // Before making a piece of a kept copy: false with error 18 when it
  // cannot be paid for.
  bool charge(uint64_t work, size_t bytes, ErrorRef& error) { return !copies || copies->take(work, bytes, error); }

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
  // Each key is copied, then compared with those on its way into the
  // dictionary.
  const uint64_t compares = std::bit_width(properties.count());
  for (const APMPPropertyMap::Entry& entry : properties.entries()) {
    const size_t units = entry.name.size(), bytes = script_text::utf8Length(entry.name);
    if (!walk.charge(kAPMPBindingWork + compares * units + APMPUtf8CopyWork(units, bytes), kAPMPEntryBytes + bytes,
                     error)) {
      break;
    }
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
      if (!walk.charge(kAPMPValueWork, sizeof(Object), error)) break;
      Object converted = objectFromValue(element, error, walk);
      if (!converted.isNil()) list.push_back(std::move(converted));
      if (error) break;
    }
    walk.leave(value.cell());
    return Object(std::move(list));
  }
  if (const std::u16string* text = value.text()) {
    // Read for a number, then copied.
    const size_t bytes = script_text::utf8Length(*text);
    if (!walk.charge(kAPMPValueWork + text->size() + APMPUtf8CopyWork(text->size(), bytes), bytes, error)) {
      return Object();
    }
    const double number = APMPNumberFromText(*text);
    return std::isnan(number) ? Object(script_text::toUtf8(*text)) : Object(number);
  }
  ErrorRef numberError;
  const double number = value.doubleValueOrError(numberError);
  if (!numberError && !std::isnan(number)) return Object(number);
  // A function's form is its name, read where it is; any other is short.
  const APMPFunctionValue* function = value.asFunction();
  const std::u16string form = function ? std::u16string() : value.stringValueOrError(error);
  if (error) return Object();
  const std::u16string& text = function ? function->functionName() : form;
  const size_t bytes = script_text::utf8Length(text);
  if (!walk.charge(kAPMPValueWork + APMPUtf8CopyWork(text.size(), bytes), bytes, error)) return Object();
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

template <class Entity>
Value stringFromEntity(const Entity& entity) {
  return Value::string(script_text::toUtf16(entityString(entity).value_or(std::string_view())));
}
template <class Entity>
Value numberFromEntity(const Entity& entity) {
  return Value::number(entityNumber(entity).value_or(std::numeric_limits<double>::quiet_NaN()));
}
template <class Entity>
Value booleanFromEntity(const Entity& entity) {
  return Value::boolean(entityBoolean(entity).value_or(false));
}

}  // namespace

Value APMPRuntimeEntityConverter::stringValueFromRuntimeEntity(const APMPProgramEntity& entity) {
  return stringFromEntity(entity);
}

Value APMPRuntimeEntityConverter::numberValueFromRuntimeEntity(const APMPProgramEntity& entity) {
  return numberFromEntity(entity);
}

Value APMPRuntimeEntityConverter::booleanValueFromRuntimeEntity(const APMPProgramEntity& entity) {
  return booleanFromEntity(entity);
}

Value APMPRuntimeEntityConverter::statementValueFromRuntimeEntity(const APMPProgramEntity& entity, ErrorRef* error) {
  return reporting(error, [&](ErrorRef& e) { return convertStatement(entity, e); });
}

Value APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(const APMPProgramEntity& entity, ErrorRef* error) {
  return reporting(error, [&](ErrorRef& e) { return convertEntity(entity, e); });
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

Object APMPRuntimeEntityConverter::objectFromRuntimeValue(const Value& value, APMPKeptCopies& copies,
                                                          ErrorRef* error) {
  return reporting(error, [&](ErrorRef& e) {
    Walk walk;
    walk.copies = &copies;
    return objectFromValue(value, e, walk);
  });
}

namespace {

Object::Dictionary dictionaryFromMap(const Value& value, ErrorRef& error, Walk& walk) {
  const APMPPropertyMap* properties = nullptr;
  if (const APMPMapValue* map = value.asMap()) properties = &map->propertyMap();
  if (const APMPFunctionValue* function = value.asFunction()) properties = &function->propertyMap();
  if (!properties || !walk.enter(value.cell(), error)) {
    APMPSetError(error, kAPMPErrorArgumentKind);
    return Object::Dictionary();
  }
  return dictionaryFromProperties(*properties, error, walk);
}

}  // namespace

Object::Dictionary APMPRuntimeEntityConverter::dictionaryFromMapValue(const Value& value, ErrorRef* error) {
  return reporting(error, [&](ErrorRef& e) {
    Walk walk;
    return dictionaryFromMap(value, e, walk);
  });
}

Object::Dictionary APMPRuntimeEntityConverter::dictionaryFromMapValue(const Value& value, APMPKeptCopies& copies,
                                                                      ErrorRef* error) {
  return reporting(error, [&](ErrorRef& e) {
    Walk walk;
    walk.copies = &copies;
    return dictionaryFromMap(value, e, walk);
  });
}

Value APMPRuntimeEntityConverter::stringValueFromRuntimeEntity(const APMPBRuntimeEntity& entity) {
  return stringFromEntity(recordOf(entity));
}

Value APMPRuntimeEntityConverter::numberValueFromRuntimeEntity(const APMPBRuntimeEntity& entity) {
  return numberFromEntity(recordOf(entity));
}

Value APMPRuntimeEntityConverter::booleanValueFromRuntimeEntity(const APMPBRuntimeEntity& entity) {
  return booleanFromEntity(recordOf(entity));
}

Value APMPRuntimeEntityConverter::statementValueFromRuntimeEntity(const APMPBRuntimeEntity& entity,
                                                                  ErrorRef* error) {
  return reporting(error, [&](ErrorRef& e) { return convertStatement(recordOf(entity), e); });
}

Value APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(const APMPBRuntimeEntity& entity, ErrorRef* error) {
  return reporting(error, [&](ErrorRef& e) { return convertEntity(recordOf(entity), e); });
}

APMPConvertedStatements APMPRuntimeEntityConverter::runtimeValuesFromRuntimeEntities(
    std::span<const APMPProgramEntity> entities) {
  return convertList(entities, [](const APMPProgramEntity& entity) -> const APMPProgramEntity& { return entity; });
}

APMPConvertedStatements APMPRuntimeEntityConverter::runtimeValuesFromRuntimeEntities(
    std::span<const std::shared_ptr<APMPBRuntimeEntity>> entities) {
  return convertList(entities, [](const std::shared_ptr<APMPBRuntimeEntity>& entity) -> const MessageInfo& {
    return recordOf(entity);
  });
}

APMPConvertedStatements APMPRuntimeEntityConverter::runtimeValuesFromRuntimeEntities(
    const APMPRuntimeEntityRecords& entities) {
  return convertList(entities, [](const MessageInfo& entity) -> const MessageInfo& { return entity; });
}
