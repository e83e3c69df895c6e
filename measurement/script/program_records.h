// Program messages read in place: the instructions and activities of an
// `APMPBProgram` straight from its record (message_info.h), so that loading
// a program copies no entity on the way to runtime values. The views point
// into the record and must not outlive it, nor see it change.
//
// Items of another message type, and missing ones, read as entities (or
// activities) without fields. Plain views; the thread of the record.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "measurement/messages/message_info.h"
#include "measurement/messages/message_wrappers.h"

// A slot of a record; null when the record has none or the field is absent.
inline const void* APMPRecordSlot(const MessageInfo& record, int32_t field) {
  return record.slots ? record.slots[field] : nullptr;
}
// The UTF-8 text of a string slot; nothing when absent.
std::optional<std::string_view> APMPRecordText(const MessageInfo& record, int32_t field);

// A record with no field present, of the RuntimeEntity message.
const MessageInfo& APMPEmptyEntityRecord();

// The RuntimeEntity items of one repeated field, in order.
class APMPRuntimeEntityRecords {
 public:
  APMPRuntimeEntityRecords() = default;
  // Empty when the record lacks the field or it is not a repeated message
  // field.
  APMPRuntimeEntityRecords(const MessageInfo* record, int32_t field);

  size_t size() const noexcept { return count_; }
  bool empty() const noexcept { return count_ == 0; }
  // The item's record, or the empty entity for an item that is missing or
  // of another message type.
  const MessageInfo& operator[](size_t index) const noexcept;
  APMPRuntimeEntityRecords subspan(size_t offset, size_t count) const noexcept;

 private:
  void* const* items_ = nullptr;
  size_t count_ = 0;
};

// One OgtActivity: its name (empty when absent) and its rules.
struct APMPActivityRecord {
  std::string_view name;
  APMPRuntimeEntityRecords data;
};

// The activity an OgtActivity record holds; empty for a null record.
APMPActivityRecord APMPActivityRecordOf(const MessageInfo* record);

// The program's instructions, and its activities in order.
APMPRuntimeEntityRecords APMPProgramInstructions(const APMPBProgram& program);
std::vector<APMPActivityRecord> APMPProgramActivities(const APMPBProgram& program);
