// `APMPRuntimeEntityConverter`: program entities to runtime values, and
// platform objects to and from runtime values.
//
// Program entities come as `APMPBRuntimeEntity` messages or the records of
// a program message (read in place, nested entities included, without
// copying them), or in the in-memory form of program_entity.h; all convert
// alike. One conversion lays out its statements in one block, each followed
// by its arguments, in the order evaluation meets them (runtime_value.h);
// equal texts share one string value.
//
// Program trees are converted recursively down to a bounded depth; deeper
// trees fail with error 18. Conversions of values walk at most
// `kAPMPMaxValueNesting` levels and `kAPMPMaxValueWalk` nodes (error 18
// past either), and a map or array met again inside its own conversion (a
// cycle) fails with error 10 instead of recursing without end.
//
// Class operations only; the error out-parameter is optional and set only
// on failure. Values are made for, and tracked in, the given scope's chain;
// that chain's thread only.
#pragma once

#include <span>

#include "measurement/messages/message_wrappers.h"
#include "measurement/script/program_records.h"
#include "measurement/script/program_entity.h"
#include "measurement/script/runtime_value.h"
#include "platform/object.h"

class APMPKeptCopies;

// How deeply program trees may nest.
inline constexpr int kAPMPMaxProgramDepth = 200;

// A list of entities converted: the values of those before the first that
// failed to convert, in order, and that one's error (none when all did).
struct APMPConvertedStatements {
  std::vector<APMPRuntimeValue> values;
  platform::ErrorRef error;
};

class APMPRuntimeEntityConverter {
 public:
  // A string value of `stringValue` (empty when absent), a number of
  // `numberValue` (NaN when absent), the shared boolean of `booleanValue`
  // (false when absent).
  static APMPRuntimeValue stringValueFromRuntimeEntity(const APMPProgramEntity& entity);
  static APMPRuntimeValue numberValueFromRuntimeEntity(const APMPProgramEntity& entity);
  static APMPRuntimeValue booleanValueFromRuntimeEntity(const APMPProgramEntity& entity);
  // A statement of `name` over the converted operands; error 14 without a
  // name, and the first operand's error stops the conversion (undefined).
  static APMPRuntimeValue statementValueFromRuntimeEntity(const APMPProgramEntity& entity,
                                                          platform::ErrorRef* error = nullptr);
  // By `type`; any type other than 1 to 4 is error 12 (undefined).
  static APMPRuntimeValue runtimeValueFromRuntimeEntity(const APMPProgramEntity& entity,
                                                        platform::ErrorRef* error = nullptr);

  // The same for program messages; a message without a record reads as an
  // entity without fields.
  static APMPRuntimeValue stringValueFromRuntimeEntity(const APMPBRuntimeEntity& entity);
  static APMPRuntimeValue numberValueFromRuntimeEntity(const APMPBRuntimeEntity& entity);
  static APMPRuntimeValue booleanValueFromRuntimeEntity(const APMPBRuntimeEntity& entity);
  static APMPRuntimeValue statementValueFromRuntimeEntity(const APMPBRuntimeEntity& entity,
                                                          platform::ErrorRef* error = nullptr);
  static APMPRuntimeValue runtimeValueFromRuntimeEntity(const APMPBRuntimeEntity& entity,
                                                        platform::ErrorRef* error = nullptr);

  // Each entity as `runtimeValueFromRuntimeEntity`, all in one conversion.
  static APMPConvertedStatements runtimeValuesFromRuntimeEntities(std::span<const APMPProgramEntity> entities);
  // A null message converts as an entity without fields.
  static APMPConvertedStatements runtimeValuesFromRuntimeEntities(
      std::span<const std::shared_ptr<APMPBRuntimeEntity>> entities);
  static APMPConvertedStatements runtimeValuesFromRuntimeEntities(const APMPRuntimeEntityRecords& entities);

  // nil gives null, texts strings, booleans the shared booleans, other
  // numbers numbers, dictionaries maps and lists arrays (both tracked in
  // `scope`'s chain); anything else is error 13 (undefined).
  static APMPRuntimeValue runtimeValueFromNSObject(const platform::Object& object, APMPScope& scope,
                                                   platform::ErrorRef* error = nullptr);
  // null gives nil, undefined the empty text, maps dictionaries, arrays lists
  // (null elements are left out, as null properties are); any other value
  // its number when that is not NaN, else its text (error 5 without one).
  static platform::Object objectFromRuntimeValue(const APMPRuntimeValue& value, platform::ErrorRef* error = nullptr);
  // The properties of a map or function, converted; null properties are
  // left out. On error, the entries converted so far.
  static platform::Object::Dictionary dictionaryFromMapValue(const APMPRuntimeValue& value,
                                                             platform::ErrorRef* error = nullptr);
  // The two above, for a copy that a run keeps outside its values (an
  // event's parameters): each element, key and text is charged to `copies`
  // (its work, and its bytes as `APMPObjectBytes` counts them) before it is
  // made, and the conversion fails with error 18 at the first that cannot
  // be.
  static platform::Object objectFromRuntimeValue(const APMPRuntimeValue& value, APMPKeptCopies& copies,
                                                 platform::ErrorRef* error = nullptr);
  static platform::Object::Dictionary dictionaryFromMapValue(const APMPRuntimeValue& value, APMPKeptCopies& copies,
                                                             platform::ErrorRef* error = nullptr);
};
