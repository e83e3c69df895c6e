#include "measurement/messages/nano_accessors.h"

#include "measurement/messages/nano_memory.h"
#include <cstdlib>
#include <cstring>

#include "measurement/messages/nano_slots.h"
#include "platform/log.h"
#include "platform/numbers.h"
#include "platform/text.h"

namespace {

// What an accessor accepts and how it names itself in its texts.
struct AccessRule {
  const char* op;           // "GetBool", ...
  APMNanoFieldKind types;   // any of these type bits (singular fields)
  bool repeated;            // the field must (true) or must not (false) be repeated
  const char* kindName;     // "BOOL", ...; null for the REPEATED text
};

constexpr AccessRule kGetBool{"GetBool", kNanoBool, false, "BOOL"};
constexpr AccessRule kSetBool{"SetBool", kNanoBool, false, "BOOL"};
constexpr APMNanoFieldKind kInt32Types = kNanoEnum | kNanoInt32 | kNanoUInt32;
constexpr AccessRule kGetInt32{"GetInt32", kInt32Types, false, "INT32"};
constexpr AccessRule kSetInt32{"SetInt32", kInt32Types, false, "INT32"};
constexpr AccessRule kGetInt64{"GetInt64", kNanoInt64 | kNanoUInt64, false, "INT64"};
constexpr AccessRule kSetInt64{"SetInt64", kNanoInt64 | kNanoUInt64, false, "INT64"};
constexpr AccessRule kGetDouble{"GetDouble", kNanoDouble, false, "DOUBLE"};
constexpr AccessRule kSetDouble{"SetDouble", kNanoDouble, false, "DOUBLE"};
constexpr AccessRule kGetString{"GetString", kNanoString, false, "STRING"};
constexpr AccessRule kSetString{"SetString", kNanoString, false, "STRING"};
constexpr AccessRule kGetMessage{"GetMessage", kNanoMessage, false, "MESSAGE"};
constexpr AccessRule kSetMessage{"SetMessage", kNanoMessage, false, "MESSAGE"};
constexpr AccessRule kGetArray{"GetArray", 0, true, nullptr};
constexpr AccessRule kSetArray{"SetArray", 0, true, nullptr};

std::string messageName(const MessageInfo* record) {
  return record->name ? record->name : "(null)";
}

void logKindMismatch(const AccessRule& rule, const MessageInfo* record, int32_t fieldID) {
  std::string text = "<Nano/Failure> Field type isn't ";
  text += rule.kindName ? std::string("a scalar ") + rule.kindName : std::string("REPEATED");
  platform::nslog(text + ". Message: " + messageName(record) + ", field ID: " + std::to_string(fieldID));
}

void logUnknownField(const MessageInfo* record, int32_t fieldID) {
  platform::nslog("<Nano/Failure> Unknown field. Message: " + messageName(record) +
                  ", field ID: " + std::to_string(fieldID));
}

bool fieldInRange(const MessageInfo* record, int32_t fieldID) {
  return fieldID >= 0 && static_cast<uint32_t>(fieldID) < messageFieldCount(record);
}

// The record of an object that has one; logs the not-initialized text
// otherwise.
MessageInfo* recordFor(NANOMessageRef object, const char* op) {
  MessageInfo* record = object.messageInfo();
  if (record && record->slots) return record;
  platform::nslog(std::string("ProtocolBuffer message hasn't been initialized. ") + op +
                  " can't be performed");
  return nullptr;
}

// The record when field `fieldID` may be used by `rule`; logs the rule's
// text and answers null otherwise. IDs outside the field list count as the
// wrong kind: reading their kind word would run past the table.
MessageInfo* recordForField(NANOMessageRef object, int32_t fieldID, const AccessRule& rule) {
  MessageInfo* record = recordFor(object, rule.op);
  if (!record) return nullptr;
  bool accepted = fieldInRange(record, fieldID);
  if (accepted) {
    const APMNanoFieldKind kind = record->kinds[fieldID];
    const bool repeated = (kind & kNanoRepeated) != 0;
    accepted = rule.repeated ? repeated : !repeated && (kind & rule.types) != 0;
  }
  if (!accepted) {
    logKindMismatch(rule, record, fieldID);
    return nullptr;
  }
  return record;
}

bool clearField(const NANOMessageBase* owner, MessageInfo* record, int32_t fieldID) {
  DeallocMessageFieldFn dealloc = owner ? owner->deallocMessageFieldFn() : nullptr;
  return dealloc && dealloc(record, fieldID) != 0;
}

// Frees a record of the message type whose clear routine is `dealloc`
// (used for a partial copy, whose own free routine is not reachable here).
// The repeated headers live in the slot array's block and go with it.
void freeRecord(DeallocMessageFieldFn dealloc, MessageInfo* record) {
  if (!record) return;
  if (record->slots && dealloc) {
    const uint32_t count = messageFieldCount(record);
    for (uint32_t id = 0; id < count; ++id) dealloc(record, static_cast<int32_t>(id));
  }
  nanoReleaseRecord(record);
}

// A deep copy of `value`'s record when it is of the type the field holds.
// Answers false (and null) on a type mismatch or a failed copy.
bool copyMessageValue(const NANOMessageBase& owner, int32_t fieldID, const NANOMessageBase& value,
                      MessageInfo** copy, bool* wrongType) {
  *copy = nullptr;
  *wrongType = false;
  const MessageInfo* source = value.messageInfo();
  const char* expected = owner.fieldMessageName(fieldID);
  if (!source || !source->name || !expected || strcmp(source->name, expected) != 0) {
    *wrongType = true;
    return false;
  }
  CopyMessageInfoFn copyFn = value.copyMessageInfoFn();
  if (!copyFn) return false;
  if (copyFn(copy, source) != 0 && *copy) return true;
  freeRecord(value.deallocMessageFieldFn(), *copy);
  *copy = nullptr;
  return false;
}

uint64_t cellValue(const void* cell) {
  uint64_t value;
  memcpy(&value, cell, sizeof value);
  return value;
}

const char* const kNoInitializer =
    "<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: ";

std::shared_ptr<NANOMessageBase> makeWrapper(const NANOMessageClass* messageClass,
                                             const MessageInfo* record) {
  if (!messageClass || !messageClass->initWithMessageInfo) {
    platform::nslog(std::string(kNoInitializer) +
                    (messageClass && messageClass->name ? messageClass->name : "(null)"));
    return nullptr;
  }
  return messageClass->initWithMessageInfo(record);
}

std::string className(const APMNanoValue& value) {
  if (const auto* message = std::get_if<std::shared_ptr<NANOMessageBase>>(&value)) {
    return *message ? std::string("APMPB") + (*message)->messageID() : "nil";
  }
  return nanoObjectClassName(std::get<platform::Object>(value));
}

// An item of a repeated field as a value; nil when it cannot be converted.
APMNanoValue itemValue(APMNanoFieldKind kind, const void* item, const NANOMessageClass* messageClass) {
  using platform::Object;
  if (kind & kNanoBool) return Object(*static_cast<const uint8_t*>(item) != 0);
  if (kind & kNanoInt32) return Object(static_cast<int32_t>(cellValue(item)));
  if (kind & kNanoUInt32) return Object(static_cast<uint32_t>(cellValue(item)));
  if (kind & kNanoInt64) return Object(static_cast<int64_t>(cellValue(item)));
  if (kind & kNanoUInt64) return Object(cellValue(item));
  if (kind & kNanoFloat) {
    float value;
    memcpy(&value, item, sizeof value);
    return Object(value);
  }
  if (kind & kNanoDouble) {
    double value;
    memcpy(&value, item, sizeof value);
    return Object(value);
  }
  if (kind & kNanoEnum) return Object(static_cast<int32_t>(cellValue(item)));
  if (kind & kNanoString) {
    const auto* value = static_cast<const APMNanoBytes*>(item);
    if (!value->data) return Object();
    std::string text(reinterpret_cast<const char*>(value->data), value->length);
    if (!platform::isValidUtf8(text)) return Object();
    return Object(std::move(text));
  }
  if (kind & kNanoBytes) {
    const auto* value = static_cast<const APMNanoBytes*>(item);
    if (!value->data) return Object(platform::Bytes{});
    return Object(platform::Bytes(value->data, value->data + value->length));
  }
  if (kind & kNanoMessage) return makeWrapper(messageClass, static_cast<const MessageInfo*>(item));
  platform::nslog("<ERROR> Unable to convert byte data to an ObjC object. Unknown type. " +
                  std::to_string(kind));
  return Object();
}

bool isNil(const APMNanoValue& value) {
  if (const auto* object = std::get_if<platform::Object>(&value)) return object->isNil();
  return !std::get<std::shared_ptr<NANOMessageBase>>(value);
}

uint32_t uint32Of(const platform::Object& number) {
  if (number.kind() == platform::Object::Kind::Double) {
    return static_cast<uint32_t>(platform::saturatingCast<int64_t>(number.doubleValue()));
  }
  return static_cast<uint32_t>(number.uint64Value());
}

// Makes the item for one element of APMNanoSetRepeated. Answers false with
// the text to log (possibly empty) when the element cannot be stored.
bool makeItem(const NANOMessageBase& owner, int32_t fieldID, APMNanoFieldKind kind,
              const APMNanoValue& element, void** item, std::string* failure) {
  const auto* object = std::get_if<platform::Object>(&element);
  const bool isNumber = object && object->isNumber();
  auto expect = [&](const char* fieldKind, const char* type) {
    *failure = std::string("<ERROR> Invalid object type. ") + fieldKind + " fields expect " + type +
               ". Type: " + className(element);
    return false;
  };
  if (kind & kNanoBool) {
    if (!isNumber) return expect("Boolean", "NSNumber");
    return APMNanoStoreBool(item, object->boolValue());
  }
  if (kind & (kNanoInt32 | kNanoUInt32)) {
    if (!isNumber) return expect("Int32", "NSNumber");
    return APMNanoStoreUInt32(item, uint32Of(*object));
  }
  if (kind & (kNanoInt64 | kNanoUInt64)) {
    if (!isNumber) return expect("Int64", "NSNumber");
    const uint64_t bits = object->kind() == platform::Object::Kind::UInt
                              ? object->uint64Value()
                              : static_cast<uint64_t>(object->int64Value());
    return APMNanoStoreUInt64(item, bits);
  }
  if (kind & kNanoFloat) {
    if (!isNumber) return expect("Float", "NSNumber");
    return APMNanoStoreFloat(item, static_cast<float>(object->doubleValue()));
  }
  if (kind & kNanoDouble) {
    if (!isNumber) return expect("Double", "NSNumber");
    return APMNanoStoreDouble(item, object->doubleValue());
  }
  if (kind & kNanoEnum) {
    if (!isNumber) return expect("Enum", "NSNumber");
    return APMNanoStoreUInt32(item, uint32Of(*object));
  }
  if (kind & (kNanoString | kNanoBytes)) {
    const bool isString = (kind & kNanoString) != 0;
    if (!object || (isString ? !object->isString() : !object->isData())) {
      return isString ? expect("String", "NSString") : expect("Bytes", "NSData");
    }
    auto* value = static_cast<APMNanoBytes*>(nanoAllocateZeroed(1, sizeof(APMNanoBytes)));
    if (!value) return false;
    const bool ok = isString ? APMNanoStringToBytes(*object, value) : APMNanoDataToBytes(*object, value);
    if (!ok) {
      nanoRelease(value);
      return false;
    }
    *item = value;
    return true;
  }
  if (kind & kNanoMessage) {
    const auto* message = std::get_if<std::shared_ptr<NANOMessageBase>>(&element);
    if (!message || !*message) return expect("Message", "NANOMessageBase");
    MessageInfo* copy = nullptr;
    bool wrongType = false;
    if (!copyMessageValue(owner, fieldID, **message, &copy, &wrongType)) {
      return wrongType ? expect("Message", "NANOMessageBase") : false;
    }
    *item = copy;
    return true;
  }
  *failure = "<ERROR> Unable to convert ObjC object to byte data. Unknown type. " + std::to_string(kind);
  return false;
}

}  // namespace

std::string nanoObjectClassName(const platform::Object& object) {
  using Kind = platform::Object::Kind;
  switch (object.kind()) {
    case Kind::Nil: return "nil";
    case Kind::Null: return "NSNull";
    case Kind::Bool:
    case Kind::Int:
    case Kind::UInt:
    case Kind::Double: return "NSNumber";
    case Kind::String: return "NSString";
    case Kind::Data: return "NSData";
    case Kind::Date: return "NSDate";
    case Kind::Array: return "NSArray";
    case Kind::Dictionary: return "NSDictionary";
    case Kind::Error: return "NSError";
  }
  return "NSObject";
}

bool APMNanoHasField(NANOMessageRef object, int32_t fieldID) {
  MessageInfo* record = object.messageInfo();
  if (!record || !record->slots) {
    const char* name = object.get() ? object.get()->messageID() : nullptr;
    platform::nslog(std::string("ProtocolBuffer message hasn't been initialized. HasField operation "
                                "can't be performed. Message name ") +
                    (name ? name : "(null)"));
    return false;
  }
  if (!fieldInRange(record, fieldID)) {
    logUnknownField(record, fieldID);
    return false;
  }
  if (record->kinds[fieldID] & kNanoRepeated) return true;
  return record->slots[fieldID] != nullptr;
}

void APMNanoClearField(NANOMessageRef object, int32_t fieldID) {
  // No kind word is read here: the message's clear routine checks the ID
  // itself and prints its own line for one outside the field list.
  MessageInfo* record = recordFor(object, "ClearField");
  if (record) clearField(object.get(), record, fieldID);
}

bool APMNanoGetBool(NANOMessageRef object, int32_t fieldID) {
  MessageInfo* record = recordForField(object, fieldID, kGetBool);
  const void* cell = record ? record->slots[fieldID] : nullptr;
  return cell && *static_cast<const uint8_t*>(cell) != 0;
}

void APMNanoSetBool(NANOMessageRef object, int32_t fieldID, bool value) {
  if (MessageInfo* record = recordForField(object, fieldID, kSetBool)) {
    APMNanoStoreBool(&record->slots[fieldID], value);
  }
}

int32_t APMNanoGetInt32(NANOMessageRef object, int32_t fieldID) {
  MessageInfo* record = recordForField(object, fieldID, kGetInt32);
  const void* cell = record ? record->slots[fieldID] : nullptr;
  return cell ? static_cast<int32_t>(cellValue(cell)) : 0;
}

void APMNanoSetInt32(NANOMessageRef object, int32_t fieldID, int32_t value) {
  if (MessageInfo* record = recordForField(object, fieldID, kSetInt32)) {
    APMNanoStoreUInt32(&record->slots[fieldID], static_cast<uint32_t>(value));
  }
}

int64_t APMNanoGetInt64(NANOMessageRef object, int32_t fieldID) {
  MessageInfo* record = recordForField(object, fieldID, kGetInt64);
  const void* cell = record ? record->slots[fieldID] : nullptr;
  return cell ? static_cast<int64_t>(cellValue(cell)) : 0;
}

void APMNanoSetInt64(NANOMessageRef object, int32_t fieldID, int64_t value) {
  if (MessageInfo* record = recordForField(object, fieldID, kSetInt64)) {
    APMNanoStoreUInt64(&record->slots[fieldID], static_cast<uint64_t>(value));
  }
}

double APMNanoGetDouble(NANOMessageRef object, int32_t fieldID) {
  MessageInfo* record = recordForField(object, fieldID, kGetDouble);
  const void* cell = record ? record->slots[fieldID] : nullptr;
  if (!cell) return 0.0;
  double value;
  memcpy(&value, cell, sizeof value);
  return value;
}

void APMNanoSetDouble(NANOMessageRef object, int32_t fieldID, double value) {
  if (MessageInfo* record = recordForField(object, fieldID, kSetDouble)) {
    APMNanoStoreDouble(&record->slots[fieldID], value);
  }
}

std::optional<std::string> APMNanoGetString(NANOMessageRef object, int32_t fieldID) {
  MessageInfo* record = recordForField(object, fieldID, kGetString);
  const auto* value = record ? static_cast<const APMNanoBytes*>(record->slots[fieldID]) : nullptr;
  if (!value || !value->data) return std::nullopt;
  std::string text(reinterpret_cast<const char*>(value->data), value->length);
  if (!platform::isValidUtf8(text)) return std::nullopt;
  return text;
}

void APMNanoSetString(NANOMessageRef object, int32_t fieldID,
                      const std::optional<std::string_view>& value) {
  MessageInfo* record = recordForField(object, fieldID, kSetString);
  if (!record) return;
  if (!value) {
    clearField(object.get(), record, fieldID);
    return;
  }
  void** slot = &record->slots[fieldID];
  const bool created = !*slot;
  if (created) *slot = nanoAllocateZeroed(1, sizeof(APMNanoBytes));
  auto* bytes = static_cast<APMNanoBytes*>(*slot);
  if (bytes && !nanoCopyBytes(value->data(), value->size(), bytes) && created) {
    nanoRelease(bytes);
    *slot = nullptr;
  }
}

std::shared_ptr<NANOMessageBase> APMNanoGetMessage(NANOMessageRef object, int32_t fieldID,
                                                   const NANOMessageClass& messageClass) {
  MessageInfo* record = recordForField(object, fieldID, kGetMessage);
  const auto* nested = record ? static_cast<const MessageInfo*>(record->slots[fieldID]) : nullptr;
  if (!nested) return nullptr;
  return makeWrapper(&messageClass, nested);
}

void APMNanoSetMessage(NANOMessageRef object, int32_t fieldID, const NANOMessageBase* value) {
  MessageInfo* record = recordForField(object, fieldID, kSetMessage);
  if (!record) return;
  if (!value) {
    clearField(object.get(), record, fieldID);
    return;
  }
  MessageInfo* copy = nullptr;
  bool wrongType = false;
  // Copied before the old value goes, so a refused value changes nothing.
  if (!copyMessageValue(*object.get(), fieldID, *value, &copy, &wrongType)) {
    if (wrongType) logKindMismatch(kSetMessage, record, fieldID);
    return;
  }
  if (record->slots[fieldID] && !clearField(object.get(), record, fieldID)) {
    freeRecord(value->deallocMessageFieldFn(), copy);
    return;
  }
  record->slots[fieldID] = copy;
}

std::optional<std::vector<APMNanoValue>> APMNanoGetRepeated(NANOMessageRef object, int32_t fieldID,
                                                            const NANOMessageClass* messageClass) {
  MessageInfo* record = recordForField(object, fieldID, kGetArray);
  if (!record) return std::nullopt;
  const auto* header = static_cast<const APMNanoRepeated*>(record->slots[fieldID]);
  if (!header) {
    platform::nslog("<ERROR> Repeated field should have been allocated");
    return std::nullopt;
  }
  std::vector<APMNanoValue> items;
  if (!header->items) return items;
  const APMNanoFieldKind kind = record->kinds[fieldID];
  items.reserve(header->count);
  for (uint32_t i = 0; i < header->count; ++i) {
    const void* item = header->items[i];
    if (!item) {
      platform::nslog("<ERROR> Unable to convert NULL data to an ObjC object");
      continue;
    }
    APMNanoValue value = itemValue(kind, item, messageClass);
    if (!isNil(value)) items.push_back(std::move(value));
  }
  return items;
}

void APMNanoSetRepeated(NANOMessageRef object, int32_t fieldID, const std::vector<APMNanoValue>* array) {
  MessageInfo* record = recordForField(object, fieldID, kSetArray);
  if (!record) return;
  auto* header = static_cast<APMNanoRepeated*>(record->slots[fieldID]);
  if (!header) {
    platform::nslog("<ERROR> Repeated field should have been allocated");
    return;
  }
  clearField(object.get(), record, fieldID);
  if (!array || array->empty()) return;

  header->items = array->size() <= UINT32_MAX
                      ? static_cast<void**>(nanoAllocateZeroed(array->size(), sizeof(void*)))
                      : nullptr;
  header->count = 0;
  header->filled = 0;
  const APMNanoFieldKind kind = record->kinds[fieldID];
  std::string failure;
  bool ok = true;
  for (const APMNanoValue& element : *array) {
    if (!header->items) {
      failure = "<ERROR> Unable to set NULL data to an ObjC object";
      ok = false;
      break;
    }
    void* item = nullptr;
    if (!makeItem(*object.get(), fieldID, kind, element, &item, &failure)) {
      nanoRelease(item);
      ok = false;
      break;
    }
    // Counted as stored, so that clearing after a failure sees only items.
    header->items[header->count++] = item;
  }
  if (ok) return;
  if (!failure.empty()) platform::nslog(failure);
  clearField(object.get(), record, fieldID);
}
