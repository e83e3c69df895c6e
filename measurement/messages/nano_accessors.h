// Field-index accessors: read and change the fields of any message object
// (nano_message_base.h) by field ID (the field's zero-based position in its
// message's field list, not its wire tag), without knowing the message's
// layout.
//
// Values read out are new values owned by the caller; values handed in are
// copied, never adopted. Message values are deep copies both ways, so no
// two wrappers share a record.
//
// Misuse never raises and never corrupts a record: an object without a
// record logs "ProtocolBuffer message hasn't been initialized. <Op> can't be
// performed" through platform::nslog; a field of the wrong kind, or a field
// ID outside the message's field list, logs "<Nano/Failure> Field type
// isn't a scalar <KIND>. Message: <name>, field ID: <id>" (or "... isn't
// REPEATED ..."). Either answers the empty result (false, 0, 0.0, nullopt,
// null) and changes nothing.
//
// Threads: a message object is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "measurement/messages/nano_message_base.h"
#include "platform/object.h"

// True when the singular field holds a value; a repeated field always
// answers true.
bool APMNanoHasField(NANOMessageRef object, int32_t fieldID);
// Frees the field's value through the object's deallocMessageFieldFn; a
// repeated field keeps its emptied header. An ID outside the field list is
// left to that routine, which refuses it with its own line.
void APMNanoClearField(NANOMessageRef object, int32_t fieldID);

bool APMNanoGetBool(NANOMessageRef object, int32_t fieldID);
void APMNanoSetBool(NANOMessageRef object, int32_t fieldID, bool value);
// Enum, int32 and uint32 fields.
int32_t APMNanoGetInt32(NANOMessageRef object, int32_t fieldID);
void APMNanoSetInt32(NANOMessageRef object, int32_t fieldID, int32_t value);
// Int64 and uint64 fields (uint64 values pass through as their bits).
int64_t APMNanoGetInt64(NANOMessageRef object, int32_t fieldID);
void APMNanoSetInt64(NANOMessageRef object, int32_t fieldID, int64_t value);
double APMNanoGetDouble(NANOMessageRef object, int32_t fieldID);
void APMNanoSetDouble(NANOMessageRef object, int32_t fieldID, double value);

// The field's text; nullopt when absent or not valid UTF-8.
std::optional<std::string> APMNanoGetString(NANOMessageRef object, int32_t fieldID);
// nullopt clears the field.
void APMNanoSetString(NANOMessageRef object, int32_t fieldID,
                      const std::optional<std::string_view>& value);

// A new wrapper of `messageClass` holding a copy of the nested record; null
// when absent or when the class cannot be made from a record ("<ERROR>
// Provided class doesn't implement initWithMessageInfo: method. Class: ...").
std::shared_ptr<NANOMessageBase> APMNanoGetMessage(NANOMessageRef object, int32_t fieldID,
                                                   const NANOMessageClass& messageClass);
template <class T>
std::shared_ptr<T> APMNanoGetMessage(NANOMessageRef object, int32_t fieldID) {
  return std::static_pointer_cast<T>(APMNanoGetMessage(object, fieldID, nanoMessageClass<T>("")));
}
// Stores a deep copy of `value`'s record; null clears the field. A value
// of another message type than the field's is refused (MESSAGE kind text)
// and changes nothing.
void APMNanoSetMessage(NANOMessageRef object, int32_t fieldID, const NANOMessageBase* value);

// An element of a repeated field: a number, string or data object, or a
// wrapper for message items.
using APMNanoValue = std::variant<platform::Object, std::shared_ptr<NANOMessageBase>>;

// The items in order: numbers (booleans, signed or unsigned by the field's
// kind), strings, data, or wrappers of `messageClass` for message items.
// Items that cannot be converted are logged and left out. nullopt on misuse
// or when the field's header is missing ("<ERROR> Repeated field should
// have been allocated").
std::optional<std::vector<APMNanoValue>> APMNanoGetRepeated(
    NANOMessageRef object, int32_t fieldID, const NANOMessageClass* messageClass = nullptr);
// Replaces the items; null leaves the field empty. The field is set whole
// or left empty: an element of the wrong type ("<ERROR> Invalid object
// type. ... expect ...") empties it and stops.
void APMNanoSetRepeated(NANOMessageRef object, int32_t fieldID, const std::vector<APMNanoValue>* array);

// The platform class name of a value as log texts and monitor contexts show
// it: "NSNumber", "NSString", "NSData", ..., "nil" for nil.
std::string nanoObjectClassName(const platform::Object& object);
