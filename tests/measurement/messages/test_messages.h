// Two small test messages ("Sample" and its nested "Child") with record
// routines written directly over their kinds tables and a wrapper class,
// so that the accessors can be tested apart from the real message schemas.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>

#include "measurement/messages/nano_memory.h"
#include "measurement/messages/nano_slots.h"
#include "measurement/messages/nano_message_base.h"

namespace test_messages {

struct Schema {
  const char* name;
  const APMNanoFieldKind* kinds;
  const Schema* const* nested;  // by field ID; null for non-message fields
};

// Child: 0 int32, 1 string.
inline constexpr APMNanoFieldKind kChildKinds[] = {kNanoSingular | kNanoInt32,
                                                   kNanoSingular | kNanoString, kNanoKindsEnd};
inline const Schema* const kChildNested[] = {nullptr, nullptr};
inline const Schema kChild{"Child", kChildKinds, kChildNested};

// Sample fields by ID.
enum SampleField : int32_t {
  kBool, kInt32, kInt64, kDouble, kString, kChildField, kInts, kNames, kChildren, kEnum,
  kUInt64, kBlobs, kFloats, kUInt32s, kFieldCount
};
inline constexpr APMNanoFieldKind kSampleKinds[] = {
    kNanoSingular | kNanoBool,    kNanoSingular | kNanoInt32,  kNanoSingular | kNanoInt64,
    kNanoSingular | kNanoDouble,  kNanoSingular | kNanoString, kNanoSingular | kNanoMessage,
    kNanoRepeated | kNanoInt64,   kNanoRepeated | kNanoString, kNanoRepeated | kNanoMessage,
    kNanoSingular | kNanoEnum,    kNanoSingular | kNanoUInt64, kNanoRepeated | kNanoBytes,
    kNanoRepeated | kNanoFloat,   kNanoRepeated | kNanoUInt32, kNanoKindsEnd};
inline const Schema* const kSampleNested[] = {nullptr, nullptr, nullptr, nullptr, nullptr, &kChild,
                                              nullptr, nullptr, &kChild,  nullptr, nullptr, nullptr,
                                              nullptr, nullptr};
inline const Schema kSample{"Sample", kSampleKinds, kSampleNested};

inline const Schema* schemaOf(const MessageInfo* record) {
  if (!record || !record->name) return nullptr;
  if (strcmp(record->name, "Sample") == 0) return &kSample;
  if (strcmp(record->name, "Child") == 0) return &kChild;
  return nullptr;
}

int freeRecord(MessageInfo* record);

inline void freeValue(APMNanoFieldKind kind, void* value) {
  if (!value) return;
  if (kind & kNanoMessage) {
    freeRecord(static_cast<MessageInfo*>(value));
    return;
  }
  if (kind & (kNanoString | kNanoBytes)) {
    nanoReleaseBytes(static_cast<APMNanoBytes*>(value));
    return;
  }
  nanoRelease(value);
}

// The repeated headers share the slot array's block, as in every record.
inline int initRecord(MessageInfo* record, const Schema& schema) {
  record->name = schema.name;
  record->kinds = schema.kinds;
  const uint32_t count = messageFieldCount(record);
  record->slots = static_cast<void**>(
      nanoAllocateZeroed(1, count * sizeof(void*) + count * sizeof(APMNanoRepeated)));
  auto* headers = reinterpret_cast<APMNanoRepeated*>(record->slots + count);
  for (uint32_t id = 0; id < count; ++id) {
    if (schema.kinds[id] & kNanoRepeated) record->slots[id] = &headers[id];
  }
  return 1;
}

inline int deallocField(MessageInfo* record, int32_t fieldID) {
  if (fieldID < 0 || static_cast<uint32_t>(fieldID) >= messageFieldCount(record)) return 0;
  const APMNanoFieldKind kind = record->kinds[fieldID];
  if (kind & kNanoRepeated) {
    auto* header = static_cast<APMNanoRepeated*>(record->slots[fieldID]);
    if (!header) return 1;
    for (uint32_t i = 0; header->items && i < header->count; ++i) freeValue(kind, header->items[i]);
    nanoRelease(header->items);
    *header = APMNanoRepeated{};
    return 1;
  }
  freeValue(kind, record->slots[fieldID]);
  record->slots[fieldID] = nullptr;
  return 1;
}

inline int freeRecord(MessageInfo* record) {
  if (!record) return 0;
  const uint32_t count = messageFieldCount(record);
  for (uint32_t id = 0; id < count; ++id) {
    deallocField(record, static_cast<int32_t>(id));
  }
  nanoRelease(record->slots);
  nanoRelease(record);
  return 1;
}

int copyRecord(MessageInfo** destination, const MessageInfo* source);

inline void* copyValue(APMNanoFieldKind kind, const void* value) {
  if (kind & kNanoMessage) {
    MessageInfo* copy = nullptr;
    copyRecord(&copy, static_cast<const MessageInfo*>(value));
    return copy;
  }
  if (kind & (kNanoString | kNanoBytes)) {
    const auto* from = static_cast<const APMNanoBytes*>(value);
    auto* to = static_cast<APMNanoBytes*>(nanoAllocateZeroed(1, sizeof(APMNanoBytes)));
    to->length = from->length;
    to->data = static_cast<uint8_t*>(nanoAllocateZeroed(from->length + 1, 1));
    if (from->length) memcpy(to->data, from->data, from->length);
    return to;
  }
  const size_t size = (kind & kNanoFloat) ? 4 : 8;
  void* cell = nanoAllocate(size);
  memcpy(cell, value, size);
  return cell;
}

inline int copyRecord(MessageInfo** destination, const MessageInfo* source) {
  const Schema* schema = schemaOf(source);
  if (!destination || !schema) return 0;
  if (*destination) freeRecord(*destination);
  *destination = static_cast<MessageInfo*>(nanoAllocateZeroed(1, sizeof(MessageInfo)));
  initRecord(*destination, *schema);
  const uint32_t count = messageFieldCount(source);
  for (uint32_t id = 0; id < count; ++id) {
    const APMNanoFieldKind kind = source->kinds[id];
    if (kind & kNanoRepeated) {
      const auto* from = static_cast<const APMNanoRepeated*>(source->slots[id]);
      auto* to = static_cast<APMNanoRepeated*>((*destination)->slots[id]);
      if (!from->items || from->count == 0) continue;
      to->items = static_cast<void**>(nanoAllocateZeroed(from->count, sizeof(void*)));
      to->count = from->count;
      for (uint32_t i = 0; i < from->count; ++i) {
        if (from->items[i]) to->items[i] = copyValue(kind, from->items[i]);
      }
    } else if (source->slots[id]) {
      (*destination)->slots[id] = copyValue(kind, source->slots[id]);
    }
  }
  return 1;
}

// A wrapper over a record of either test message.
class TestMessage : public NANOMessageBase {
 public:
  explicit TestMessage(const Schema& schema) : schema_(&schema) {
    record_ = static_cast<MessageInfo*>(nanoAllocateZeroed(1, sizeof(MessageInfo)));
    initRecord(record_, schema);
  }
  ~TestMessage() override {
    if (record_) freeRecord(record_);
  }
  TestMessage(const TestMessage&) = delete;
  TestMessage& operator=(const TestMessage&) = delete;

  static std::shared_ptr<TestMessage> sample() { return std::make_shared<TestMessage>(kSample); }
  static std::shared_ptr<TestMessage> child() { return std::make_shared<TestMessage>(kChild); }
  static std::shared_ptr<TestMessage> initWithMessageInfo(const MessageInfo* record) {
    const Schema* schema = schemaOf(record);
    if (!schema) return nullptr;
    auto message = std::make_shared<TestMessage>(*schema);
    if (!copyRecord(&message->record_, record)) return nullptr;
    return message;
  }
  // A wrapper without a record.
  static std::shared_ptr<TestMessage> empty() {
    auto message = sample();
    freeRecord(message->record_);
    message->record_ = nullptr;
    return message;
  }

  const char* messageID() const override { return schema_->name; }
  MessageInfo* messageInfo() const override { return record_; }
  // The test messages have no wire form.
  std::optional<platform::Bytes> protoBuffer() const override { return std::nullopt; }
  InitMessageInfoFn initMessageInfoFn() const override {
    return schema_ == &kSample ? +[](MessageInfo* r) { return initRecord(r, kSample); }
                               : +[](MessageInfo* r) { return initRecord(r, kChild); };
  }
  DeallocMessageFieldFn deallocMessageFieldFn() const override { return deallocField; }
  CopyMessageInfoFn copyMessageInfoFn() const override { return copyRecord; }
  const char* fieldMessageName(int32_t fieldID) const override {
    if (fieldID < 0 || static_cast<uint32_t>(fieldID) >= messageFieldCount(record_)) return nullptr;
    return schema_->nested[fieldID] ? schema_->nested[fieldID]->name : nullptr;
  }

 private:
  const Schema* schema_;
  MessageInfo* record_ = nullptr;
};

}  // namespace test_messages
