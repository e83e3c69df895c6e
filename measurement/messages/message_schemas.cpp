#include "measurement/messages/message_schemas.h"

#include <cstring>
#include <iterator>
#include <string_view>

namespace messages {
namespace {

// The nested-message column of the field tables: `None` for scalar fields.
[[maybe_unused]] constexpr const MessageSchema* schemaOf_None = nullptr;
#define APM_SCHEMA_POINTER(message, count, wrapper, decode, encode)                                \
  [[maybe_unused]] constexpr const MessageSchema* schemaOf_##message = &k##message##Schema;
APM_MESSAGE_LIST(APM_SCHEMA_POINTER)
#undef APM_SCHEMA_POINTER

// The five schema defaults. They fill nothing at run time (a record holds
// only what was on the wire) but belong to the message definitions.
constexpr int64_t kZero = 0;
constexpr int64_t kPsmPrefixEmailDefault = 14;
constexpr int64_t kPsmPrefixPhoneDefault = 11;
constexpr int64_t kPsmSigninDelayDefault = 60;

constexpr const int64_t* schemaDefault(std::string_view message, std::string_view field) {
  if (message == "MeasurementBatch" && field == "unused_tag9") return &kZero;
  if (message == "MeasurementConfig" && field == "unused_tag8") return &kZero;
  if (message == "PsmSetting" && field == "psm_prefix_email") return &kPsmPrefixEmailDefault;
  if (message == "PsmSetting" && field == "psm_prefix_phone") return &kPsmPrefixPhoneDefault;
  if (message == "PsmSetting" && field == "psm_signin_delay") return &kPsmSigninDelayDefault;
  return nullptr;
}

#define APM_KIND_WORD(name, tag, label, type, submessage)                                          \
  fieldKind(FieldLabel::label, FieldType::type),

#define APM_FIELD_ROW(name, tag, label, type, submessage)                                          \
  FieldSchema{#name,                                                                               \
              tag,                                                                                 \
              FieldLabel::label,                                                                   \
              FieldType::type,                                                                     \
              fieldKind(FieldLabel::label, FieldType::type),                                       \
              schemaOf_##submessage,                                                               \
              schemaDefault(kMessageName, #name)},

#define APM_FIELD_TABLES(message, count, wrapper, decode, encode)                                  \
  namespace message##_tables {                                                                     \
    constexpr std::string_view kMessageName = #message;                                            \
    constexpr APMNanoFieldKind kKinds[] = {APM_FIELDS_##message(APM_KIND_WORD) kNanoKindsEnd};     \
    constexpr FieldSchema kFields[] = {APM_FIELDS_##message(APM_FIELD_ROW)};                       \
    static_assert(std::size(kFields) == count);                                                    \
  }
APM_MESSAGE_LIST(APM_FIELD_TABLES)
#undef APM_FIELD_TABLES
#undef APM_FIELD_ROW
#undef APM_KIND_WORD

} // namespace

#define APM_DEFINE_SCHEMA(message, count, wrapper, decode, encode)                                 \
  constinit const MessageSchema k##message##Schema{#message,                                       \
                                                   k##message##Index,                              \
                                                   count,                                          \
                                                   message##_tables::kFields,                      \
                                                   message##_tables::kKinds,                       \
                                                   wrapper,                                        \
                                                   decode,                                         \
                                                   encode};
APM_MESSAGE_LIST(APM_DEFINE_SCHEMA)
#undef APM_DEFINE_SCHEMA

namespace {
#define APM_SCHEMA_ADDRESS(message, count, wrapper, decode, encode) &k##message##Schema,
constexpr const MessageSchema* kAllSchemas[] = {APM_MESSAGE_LIST(APM_SCHEMA_ADDRESS)};
#undef APM_SCHEMA_ADDRESS
static_assert(std::size(kAllSchemas) == 42);
} // namespace

std::span<const MessageSchema* const> allMessageSchemas() {
  return kAllSchemas;
}

const MessageSchema* findMessageSchema(const char* name) {
  if (!name) return nullptr;
  for (const MessageSchema* schema : kAllSchemas) {
    if (std::strcmp(schema->name, name) == 0) return schema;
  }
  return nullptr;
}

} // namespace messages
