// `NANOMessageBase`: what every message wrapper object offers its users and
// the field-index accessors (nano_accessors.h): its record, its encoded
// bytes, the per-message routines that clear a field and copy or set up
// records of its message type, and the message type of each of its message
// fields.
//
// A wrapper owns its record; the accessors read and change fields through
// `messageInfo()` and never take ownership. The initialisers of the protocol
// (`initWithMessageInfo`, `initWithBuffer`) are static factories of each
// wrapper class; the accessors that make wrappers reach the first through a
// `NANOMessageClass`.
//
// Threads: a wrapper is used by one thread at a time.
#pragma once

#include <concepts>
#include <memory>
#include <optional>

#include "measurement/messages/message_info.h"
#include "platform/object.h"

class NANOMessageBase {
 public:
  virtual ~NANOMessageBase() = default;

  // The constant message name of the class ("Audience"), also when the
  // instance has no record.
  virtual const char* messageID() const = 0;
  // The record, or null when the instance has none.
  virtual MessageInfo* messageInfo() const = 0;
  // The encoded bytes, afresh at each call; nullopt when the instance has
  // no record or the message cannot be encoded.
  virtual std::optional<platform::Bytes> protoBuffer() const = 0;
  // The routines of this message type (message_info.h).
  virtual InitMessageInfoFn initMessageInfoFn() const = 0;
  virtual DeallocMessageFieldFn deallocMessageFieldFn() const = 0;
  virtual CopyMessageInfoFn copyMessageInfoFn() const = 0;
  // The message name of the nested message type of field `fieldID` (a
  // singular or repeated message field), or null for any other field or an
  // unknown ID. APMNanoSetMessage and APMNanoSetRepeated refuse a value whose
  // record carries another name.
  virtual const char* fieldMessageName(int32_t fieldID) const = 0;
};

// A wrapper class as a value: its name (for log texts) and its
// `initWithMessageInfo` factory, which answers a new instance holding a deep
// copy of the record, or null. A null factory stands for a class whose
// instances cannot be made from a record.
struct NANOMessageClass {
  const char* name = "";
  std::shared_ptr<NANOMessageBase> (*initWithMessageInfo)(const MessageInfo* record) = nullptr;
};

// The class value of wrapper class T, which must have
// `static std::shared_ptr<T> initWithMessageInfo(const MessageInfo*)`.
template <class T>
NANOMessageClass nanoMessageClass(const char* name) {
  static_assert(requires(const MessageInfo* record) {
    { T::initWithMessageInfo(record) } -> std::convertible_to<std::shared_ptr<NANOMessageBase>>;
  });
  return NANOMessageClass{name, [](const MessageInfo* record) -> std::shared_ptr<NANOMessageBase> {
                            return T::initWithMessageInfo(record);
                          }};
}

// The message object an accessor works on: a wrapper given by pointer,
// reference or shared pointer. A null object behaves as one without a
// record (the accessors log their not-initialized text).
class NANOMessageRef {
 public:
  NANOMessageRef(const NANOMessageBase* object) : object_(object) {}
  NANOMessageRef(const NANOMessageBase& object) : object_(&object) {}
  template <class T>
  NANOMessageRef(const std::shared_ptr<T>& object) : object_(object.get()) {}

  const NANOMessageBase* get() const { return object_; }
  MessageInfo* messageInfo() const { return object_ ? object_->messageInfo() : nullptr; }

 private:
  const NANOMessageBase* object_;
};
