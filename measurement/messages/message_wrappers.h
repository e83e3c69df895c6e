// The message wrapper classes: one `APMPB<Message>` class per measurement
// message with a wrapper (40 of the 42; "Region" and "SstmSetting" live only
// inside other messages), all generated from the message list.
//
// A wrapper owns exactly one `MessageInfo` record, from its initialiser to
// its destruction, and is how messages travel through the engine: built
// field by field through the field-index accessors, sent as `protoBuffer()`
// bytes, rebuilt with `initWithBuffer`. No two wrappers share a record:
// every way in and out copies (an adopted decode result is the one
// exception, and it is never seen by anyone else).
//
// Operations of every class:
// - `initWithMessageInfo(record)`: a new message holding a deep copy of
//   `record` (the caller keeps its record), or a new empty message for a
//   null record. Null when the record is of another message type or the
//   copy or set-up fails.
// - `initWithBuffer(data)`: a new message decoded from wire bytes; null or
//   empty data gives an empty message; null when decoding fails (the
//   decoder prints its "<ERROR> " lines), a measurement configuration past
//   its bounds included, which is refused before it is built.
// - `messageID()`, `protoBuffer()`, `messageInfo()`, `initMessageInfoFn()`,
//   `deallocMessageFieldFn()`, `copyMessageInfoFn()` and
//   `fieldMessageName()` as NANOMessageBase describes them.
//
// Threads: an instance is used by one thread at a time.
#pragma once

#include "measurement/messages/message_routines.h"
#include "measurement/messages/message_schemas.h"
#include "measurement/messages/nano_memory.h"
#include "measurement/messages/nano_message_base.h"
#include "platform/allocation_failures.h"
#include "platform/object.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

namespace messages {

// What a wrapper class points to: its schema and its message's routines.
struct WrapperRoutines {
  const MessageSchema* schema;
  const char* className;
  InitMessageInfoFn initMessageInfo;
  DeallocMessageFieldFn deallocField;
  CopyMessageInfoFn copyMessageInfo;
  int (*freeMessageInfo)(MessageInfo* record);
  int32_t (*encode)(const MessageInfo* record, uint8_t** output);
};

template <class Derived>
class MessageWrapper : public NANOMessageBase {
 protected:
  struct ConstructionToken {};

 public:
  explicit MessageWrapper(ConstructionToken, MessageInfo* record) : messageInfo_(record) {}
  MessageWrapper(const MessageWrapper&) = delete;
  MessageWrapper& operator=(const MessageWrapper&) = delete;
  ~MessageWrapper() override {
    if (messageInfo_) routines().freeMessageInfo(messageInfo_);
    messageInfo_ = nullptr;
  }

  static std::shared_ptr<Derived> initWithMessageInfo(const MessageInfo* record) {
    MessageInfo* own = nullptr;
    if (!record) {
      own = static_cast<MessageInfo*>(calloc(1, sizeof(MessageInfo)));
      if (!own) return nullptr;
      if (!routines().initMessageInfo(own)) {
        routines().freeMessageInfo(own);
        return nullptr;
      }
      return adopt(own);
    }
    if (!record->name || std::strcmp(record->name, routines().schema->name) != 0) return nullptr;
    if (!routines().copyMessageInfo(&own, record)) {
      if (own) routines().freeMessageInfo(own);
      return nullptr;
    }
    return adopt(own);
  }

  static std::shared_ptr<Derived> initWithBuffer(const platform::Bytes* data) {
    return decoded(data, nullptr);
  }
  static std::shared_ptr<Derived> initWithBuffer(const platform::Bytes& data) {
    return decoded(&data, nullptr);
  }
  // The same, for a reader that reports which bound of the message's own
  // (message_routines.h) refused the bytes: `*pastBound` is set then.
  static std::shared_ptr<Derived> initWithBuffer(const platform::Bytes& data,
                                                 const char** pastBound) {
    return decoded(&data, pastBound);
  }

  // Encoded straight into the data object, with the bytes and results of
  // the message's Encode routine.
  std::optional<platform::Bytes> protoBuffer() const override {
    if (!messageInfo_ || !routines().encode) return std::nullopt;
    return encodeMessage(*routines().schema, messageInfo_);
  }

  // The class as a value, for the accessors that make wrappers.
  static NANOMessageClass messageClass() { return nanoMessageClass<Derived>(routines().className); }

  const char* messageID() const override { return routines().schema->name; }
  MessageInfo* messageInfo() const override { return messageInfo_; }
  InitMessageInfoFn initMessageInfoFn() const override { return routines().initMessageInfo; }
  DeallocMessageFieldFn deallocMessageFieldFn() const override { return routines().deallocField; }
  CopyMessageInfoFn copyMessageInfoFn() const override { return routines().copyMessageInfo; }
  const char* fieldMessageName(int32_t fieldID) const override {
    const MessageSchema& schema = *routines().schema;
    if (static_cast<uint32_t>(fieldID) >= schema.fieldCount) return nullptr;
    const FieldSchema& field = schema.fields[fieldID];
    return field.message ? field.message->name : nullptr;
  }

 private:
  static const WrapperRoutines& routines() { return Derived::kRoutines; }
  static std::shared_ptr<Derived> adopt(MessageInfo* record) {
    return std::make_shared<Derived>(ConstructionToken{}, record);
  }
  // The message's decode routine is this same call, with room for the
  // bound's text.
  static std::shared_ptr<Derived> decoded(const platform::Bytes* data, const char** pastBound) {
    auto* record = static_cast<MessageInfo*>(calloc(1, sizeof(MessageInfo)));
    if (!record) {
      platform::noteAllocationFailure();
      return nullptr;
    }
    const uint8_t* bytes = data && !data->empty() ? data->data() : nullptr;
    const size_t length = data ? data->size() : 0;
    if (!routines().initMessageInfo(record) ||
        !decodeMessage(*routines().schema, bytes, length, record, pastBound)) {
      routines().freeMessageInfo(record);
      return nullptr;
    }
    // The decoded record is seen by no one else, so it is adopted rather
    // than copied and freed.
    return adopt(record);
  }

  MessageInfo* messageInfo_;
};

} // namespace messages

#define APM_WRAPPER_CLASS(message, count, wrapper, decode, encode)                                 \
  APM_WHEN_##wrapper(class APMPB##message final                                                    \
                     : public messages::MessageWrapper<APMPB##message> {                           \
                      public:                                                                      \
                       using MessageWrapper::MessageWrapper;                                       \
                       static constexpr messages::WrapperRoutines kRoutines{                       \
                           &messages::k##message##Schema,                                          \
                           "APMPB" #message,                                                       \
                           message##InitMessageInfo,                                               \
                           message##DeallocField,                                                  \
                           message##CopyMessageInfo,                                               \
                           message##FreeMessageInfo,                                               \
                           message##Encode};                                                       \
                     };)
APM_MESSAGE_LIST(APM_WRAPPER_CLASS)
#undef APM_WRAPPER_CLASS
