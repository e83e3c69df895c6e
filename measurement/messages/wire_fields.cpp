// Walking descriptor tables: the field iterator, defaults, release and the
// default-value test.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "measurement/messages/wire_codec_internal.h"

using namespace wire_internal;

namespace {

// Bytes the field takes in its structure.
size_t storageSize(const pb_field_desc* field) {
  if (atype(field) == kPbATypePointer) return sizeof(void*);
  if (atype(field) == kPbATypeStatic && htype(field) == kPbHTypeRepeated) {
    return static_cast<size_t>(field->data_size) * field->array_size;
  }
  return field->data_size;
}

void placeField(pb_field_iter* iter, uint8_t* data) {
  iter->data = data;
  iter->size = iter->pos->size_offset != 0 ? data + iter->pos->size_offset : data;
}

bool countsAsRequired(const pb_field_desc* field) {
  return htype(field) == kPbHTypeRequired && ltype(field) != kPbLTypeExtension;
}

}  // namespace

bool pb_field_iter_begin(pb_field_iter* iter, const pb_field_desc* fields, void* dest_struct) {
  iter->start = fields;
  iter->pos = fields;
  iter->required_field_index = 0;
  iter->dest_struct = dest_struct;
  if (fields->tag == 0) {
    iter->data = nullptr;
    iter->size = nullptr;
    return false;
  }
  placeField(iter, static_cast<uint8_t*>(dest_struct) + fields->data_offset);
  return true;
}

bool pb_field_iter_next(pb_field_iter* iter) {
  const pb_field_desc* previous = iter->pos;
  if (previous->tag == 0) return false;
  const pb_field_desc* current = previous + 1;
  if (current->tag == 0) {
    pb_field_iter_begin(iter, iter->start, iter->dest_struct);
    return false;
  }
  if (countsAsRequired(previous)) iter->required_field_index++;
  iter->pos = current;
  uint8_t* previousData = static_cast<uint8_t*>(iter->data);
  if (htype(current) == kPbHTypeOneof && current->data_offset == kPbSharedStorage) {
    placeField(iter, previousData);
  } else {
    placeField(iter, previousData + storageSize(previous) + current->data_offset);
  }
  return true;
}

bool pb_field_iter_find(pb_field_iter* iter, uint32_t tag) {
  const pb_field_desc* begin = iter->pos;
  if (begin->tag == 0) return false;
  do {
    if (iter->pos->tag == tag && ltype(iter->pos) != kPbLTypeExtension) return true;
    pb_field_iter_next(iter);
  } while (iter->pos != begin);
  return false;
}

bool wire_internal::extensionIterator(pb_field_iter* iter, pb_extension* extension) {
  if (!extension->type || !extension->type->field || extension->type->field->tag == 0 ||
      !extension->dest) {
    return false;
  }
  const pb_field_desc* field = extension->type->field;
  // A repeated or oneof extension must say where its count or selector is.
  if ((htype(field) == kPbHTypeRepeated || htype(field) == kPbHTypeOneof) &&
      field->size_offset == 0) {
    return false;
  }
  iter->start = field;
  iter->pos = field;
  iter->required_field_index = 0;
  iter->dest_struct = extension->dest;
  iter->data = extension->dest;
  if (field->size_offset != 0) {
    iter->size = static_cast<uint8_t*>(extension->dest) + field->size_offset;
  } else if (htype(field) == kPbHTypeOptional) {
    iter->size = &extension->found;
  } else {
    iter->size = extension->dest;
  }
  return true;
}

void pb_field_set_to_default(pb_field_iter* iter) {
  const pb_field_desc* field = iter->pos;
  if (ltype(field) == kPbLTypeExtension) {
    for (auto* extension = *static_cast<pb_extension**>(iter->data); extension;
         extension = extension->next) {
      extension->found = false;
      pb_field_iter extensionIter;
      if (extensionIterator(&extensionIter, extension)) pb_field_set_to_default(&extensionIter);
    }
    return;
  }
  const uint8_t h = htype(field);
  if (atype(field) == kPbATypeStatic) {
    if (h == kPbHTypeRepeated || h == kPbHTypeOneof) {
      if (hasCompanion(iter)) *static_cast<uint32_t*>(iter->size) = 0;
      return;
    }
    if (h == kPbHTypeOptional && hasCompanion(iter)) *static_cast<bool*>(iter->size) = false;
    if (ltype(field) == kPbLTypeSubmessage) {
      if (field->ptr) {
        pb_message_set_to_defaults(static_cast<const pb_field_desc*>(field->ptr), iter->data);
      }
    } else if (field->ptr) {
      memcpy(iter->data, field->ptr, field->data_size);
    } else {
      memset(iter->data, 0, field->data_size);
    }
  } else if (atype(field) == kPbATypePointer) {
    *static_cast<void**>(iter->data) = nullptr;
    if ((h == kPbHTypeRepeated || h == kPbHTypeOneof) && hasCompanion(iter)) {
      *static_cast<uint32_t*>(iter->size) = 0;
    }
  }
  // Callback fields keep whatever the caller installed.
}

void pb_message_set_to_defaults(const pb_field_desc* fields, void* dest_struct) {
  pb_field_iter iter;
  if (!pb_field_iter_begin(&iter, fields, dest_struct)) return;
  do {
    pb_field_set_to_default(&iter);
  } while (pb_field_iter_next(&iter));
}

void pb_release_single_field(const pb_field_iter* iter) {
  const pb_field_desc* field = iter->pos;
  if (ltype(field) == kPbLTypeExtension) {
    for (auto* extension = *static_cast<pb_extension**>(iter->data); extension;
         extension = extension->next) {
      pb_field_iter extensionIter;
      if (extensionIterator(&extensionIter, extension)) pb_release_single_field(&extensionIter);
    }
    return;
  }
  const uint8_t h = htype(field);
  // Oneof members share storage: only the selected one owns it.
  if (h == kPbHTypeOneof && *static_cast<uint32_t*>(iter->size) != field->tag) return;
  const bool repeatedWithCount = h == kPbHTypeRepeated && hasCompanion(iter);

  if (ltype(field) == kPbLTypeSubmessage && field->ptr) {
    const auto* submessage = static_cast<const pb_field_desc*>(field->ptr);
    uint8_t* items = nullptr;
    size_t count = 1;
    if (atype(field) == kPbATypeStatic) {
      items = static_cast<uint8_t*>(iter->data);
      if (h == kPbHTypeRepeated) {
        count = repeatedWithCount
                    ? std::min<size_t>(*static_cast<uint32_t*>(iter->size), field->array_size)
                    : field->array_size;
      }
    } else if (atype(field) == kPbATypePointer) {
      items = *static_cast<uint8_t**>(iter->data);
      if (h == kPbHTypeRepeated) count = repeatedWithCount ? *static_cast<uint32_t*>(iter->size) : 0;
    }
    if (items) {
      for (size_t i = 0; i < count; ++i) pb_release(submessage, items + i * field->data_size);
    }
  }

  if (atype(field) == kPbATypePointer) {
    void** pointer = static_cast<void**>(iter->data);
    if (repeatedWithCount && isPointerStringOrBytes(field) && *pointer) {
      void** items = static_cast<void**>(*pointer);
      const uint32_t count = *static_cast<uint32_t*>(iter->size);
      for (uint32_t i = 0; i < count; ++i) {
        free(items[i]);
        items[i] = nullptr;
      }
    }
    free(*pointer);
    *pointer = nullptr;
    if (repeatedWithCount) *static_cast<uint32_t*>(iter->size) = 0;
  }
}

void pb_release(const pb_field_desc* fields, void* dest_struct) {
  if (!dest_struct) return;
  pb_field_iter iter;
  if (!pb_field_iter_begin(&iter, fields, dest_struct)) return;
  do {
    pb_release_single_field(&iter);
  } while (pb_field_iter_next(&iter));
}

namespace {

bool allBytesZero(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

}  // namespace

bool pb_check_proto3_default_value(const pb_field_iter* iter) {
  const pb_field_desc* field = iter->pos;
  const uint8_t h = htype(field);
  if (h == kPbHTypeRequired) return false;
  if (h == kPbHTypeRepeated) {
    if (hasCompanion(iter)) return *static_cast<const uint32_t*>(iter->size) == 0;
    if (atype(field) == kPbATypeStatic) return false;  // fixed count: always written
  } else if (h == kPbHTypeOneof) {
    if (hasCompanion(iter)) return *static_cast<const uint32_t*>(iter->size) == 0;
  } else if (h == kPbHTypeOptional && hasCompanion(iter)) {
    return *static_cast<const uint8_t*>(iter->size) == 0;
  }

  if (atype(field) == kPbATypePointer) return *static_cast<void* const*>(iter->data) == nullptr;
  if (atype(field) == kPbATypeStatic) {
    switch (ltype(field)) {
      case kPbLTypeBytes: {
        uint32_t length;
        memcpy(&length, iter->data, sizeof length);
        return length == 0;
      }
      case kPbLTypeString:
        return *static_cast<const char*>(iter->data) == '\0';
      case kPbLTypeFixedLengthBytes:
        return field->data_size == 0;
      case kPbLTypeSubmessage: {
        if (!field->ptr) return true;
        pb_field_iter sub;
        if (!pb_field_iter_begin(&sub, static_cast<const pb_field_desc*>(field->ptr), iter->data)) {
          return true;
        }
        do {
          if (!pb_check_proto3_default_value(&sub)) return false;
        } while (pb_field_iter_next(&sub));
        return true;
      }
      default:
        break;
    }
  }
  return allBytesZero(iter->data, field->data_size);
}
