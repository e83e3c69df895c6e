// The schemas of the 42 measurement messages, as data.
//
// A `MessageSchema` describes one message: its name, its fields in field-ID
// order (tag, kind word, nested message), the constant kinds table that
// every record of the message points to, and which entry points the message
// has. The table-driven record routines (message_routines.h) and the wrapper
// classes work from these descriptions alone; message_fields.h is the one
// place that lists the fields.
//
// All schemas are constants, built before main and never changed; any
// thread may read them.
#pragma once

#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_info.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace messages {

enum class FieldLabel : uint8_t { Singular, Repeated };
enum class FieldType : uint8_t {
  Bool,
  Enum,
  Int32,
  UInt32,
  Int64,
  UInt64,
  Float,
  Double,
  String,
  Message,
  Bytes
};

struct MessageSchema;

struct FieldSchema {
  const char* name;
  uint32_t tag;
  FieldLabel label;
  FieldType type;
  APMNanoFieldKind kind;
  // The nested message of a message field (element type when repeated).
  const MessageSchema* message;
  // A schema default of a singular scalar, or null. Defaults never reach a
  // record: decoding stores only fields present on the wire.
  const int64_t* defaultValue;

  bool repeated() const { return label == FieldLabel::Repeated; }
};

struct MessageSchema {
  const char* name;
  // Position in allMessageSchemas(); indexes per-message tables.
  uint32_t index;
  uint32_t fieldCount;
  const FieldSchema* fields;
  // One kind word per field, then kNanoKindsEnd; shared by every record.
  const APMNanoFieldKind* kinds;
  bool hasWrapper;
  bool hasDecode;
  bool hasEncode;

  std::span<const FieldSchema> fieldList() const { return {fields, fieldCount}; }
};

// The kind word of a field of the given label and type.
constexpr APMNanoFieldKind fieldKind(FieldLabel label, FieldType type) {
  constexpr APMNanoFieldKind typeBits[] = {kNanoBool,   kNanoEnum,    kNanoInt32, kNanoUInt32,
                                           kNanoInt64,  kNanoUInt64,  kNanoFloat, kNanoDouble,
                                           kNanoString, kNanoMessage, kNanoBytes};
  return (label == FieldLabel::Repeated ? kNanoRepeated : kNanoSingular) |
         typeBits[static_cast<size_t>(type)];
}

#define APM_MESSAGE_INDEX(message, count, wrapper, decode, encode) k##message##Index,
enum MessageIndex : uint32_t { APM_MESSAGE_LIST(APM_MESSAGE_INDEX) kMessageCount };
#undef APM_MESSAGE_INDEX

#define APM_DECLARE_SCHEMA(message, count, wrapper, decode, encode)                                \
  extern const MessageSchema k##message##Schema;
APM_MESSAGE_LIST(APM_DECLARE_SCHEMA)
#undef APM_DECLARE_SCHEMA

// Every schema, in the order of APM_MESSAGE_LIST (alphabetical).
std::span<const MessageSchema* const> allMessageSchemas();

// The schema whose name is `name` (compared as text), or null.
const MessageSchema* findMessageSchema(const char* name);

} // namespace messages
