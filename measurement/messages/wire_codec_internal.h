// Helpers shared by the codec's source files; not part of its interface.
#pragma once

#include "measurement/messages/wire_codec.h"

namespace wire_internal {

inline uint8_t ltype(const pb_field_desc* field) { return field->type & kPbLTypeMask; }
inline uint8_t htype(const pb_field_desc* field) { return field->type & kPbHTypeMask; }
inline uint8_t atype(const pb_field_desc* field) { return field->type & kPbATypeMask; }

inline bool isPointerStringOrBytes(const pb_field_desc* field) {
  return atype(field) == kPbATypePointer &&
         (ltype(field) == kPbLTypeString || ltype(field) == kPbLTypeBytes);
}

// Size of one item of an array: a pointer array of strings or bytes holds
// one pointer per item.
inline size_t itemSize(const pb_field_desc* field) {
  return isPointerStringOrBytes(field) ? sizeof(void*) : field->data_size;
}

inline bool hasCompanion(const pb_field_iter* iter) { return iter->size != iter->data; }

// The first failure's text stays.
inline bool fail(pb_istream* stream, const char* text) {
  if (!stream->errmsg) stream->errmsg = text;
  return false;
}
inline bool fail(pb_ostream* stream, const char* text) {
  if (!stream->errmsg) stream->errmsg = text;
  return false;
}

// Positions `iter` on the single field of an extension, over its value. An
// optional value without a has-flag takes the extension's `found` flag as
// one. Answers false for an extension that cannot be used as a field.
bool extensionIterator(pb_field_iter* iter, pb_extension* extension);

// Counts message nesting on this thread, through callbacks too, so that
// hostile input cannot exhaust the stack.
class NestingGuard {
 public:
  NestingGuard() { ++depth(); }
  ~NestingGuard() { --depth(); }
  NestingGuard(const NestingGuard&) = delete;
  NestingGuard& operator=(const NestingGuard&) = delete;
  bool tooDeep() const { return depth() > kPbMaxNestingDepth; }

 private:
  static int& depth() {
    thread_local int value = 0;
    return value;
  }
};

inline constexpr const char* kNestingTooDeep = "nesting too deep";

}  // namespace wire_internal
