#include "measurement/script/program_records.h"

#include <algorithm>

namespace {

bool isRecordOf(const void* item, const messages::MessageSchema& schema) {
  const auto* record = static_cast<const MessageInfo*>(item);
  return record && record->slots && record->kinds == schema.kinds;
}

// The items of a repeated message field; none when the field is of
// another kind.
const APMNanoRepeated* repeatedMessages(const MessageInfo* record, int32_t field) {
  if (!record || !record->slots || field < 0 || static_cast<uint32_t>(field) >= messageFieldCount(record)) {
    return nullptr;
  }
  if ((record->kinds[field] & (kNanoRepeated | kNanoMessage)) != (kNanoRepeated | kNanoMessage)) return nullptr;
  const auto* list = static_cast<const APMNanoRepeated*>(record->slots[field]);
  return list && list->items ? list : nullptr;
}

}  // namespace

std::optional<std::string_view> APMPRecordText(const MessageInfo& record, int32_t field) {
  const auto* text = static_cast<const APMNanoBytes*>(APMPRecordSlot(record, field));
  if (!text || !text->data) return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(text->data), text->length);
}

const MessageInfo& APMPEmptyEntityRecord() {
  static void* const noSlots[RuntimeEntityField::kFieldCount] = {};
  static const MessageInfo empty{const_cast<void**>(noSlots), messages::kRuntimeEntitySchema.kinds, "RuntimeEntity"};
  return empty;
}

APMPRuntimeEntityRecords::APMPRuntimeEntityRecords(const MessageInfo* record, int32_t field) {
  if (const APMNanoRepeated* list = repeatedMessages(record, field)) {
    items_ = list->items;
    count_ = list->count;
  }
}

const MessageInfo& APMPRuntimeEntityRecords::operator[](size_t index) const noexcept {
  const void* item = items_[index];
  return isRecordOf(item, messages::kRuntimeEntitySchema) ? *static_cast<const MessageInfo*>(item)
                                                           : APMPEmptyEntityRecord();
}

APMPRuntimeEntityRecords APMPRuntimeEntityRecords::subspan(size_t offset, size_t count) const noexcept {
  APMPRuntimeEntityRecords part;
  offset = std::min(offset, count_);
  part.items_ = items_ ? items_ + offset : nullptr;
  part.count_ = std::min(count, count_ - offset);
  return part;
}

APMPActivityRecord APMPActivityRecordOf(const MessageInfo* record) {
  if (!record) return {};
  return {APMPRecordText(*record, OgtActivityField::name).value_or(std::string_view()),
          APMPRuntimeEntityRecords(record, OgtActivityField::data)};
}

APMPRuntimeEntityRecords APMPProgramInstructions(const APMPBProgram& program) {
  return APMPRuntimeEntityRecords(program.messageInfo(), ProgramField::instructions);
}

std::vector<APMPActivityRecord> APMPProgramActivities(const APMPBProgram& program) {
  std::vector<APMPActivityRecord> activities;
  const MessageInfo* record = program.messageInfo();
  if (!record || !record->slots) return activities;
  const void* holder = record->slots[ProgramField::ogt_activities];
  if (!isRecordOf(holder, messages::kOgtActivitiesSchema)) return activities;
  const APMNanoRepeated* list =
      repeatedMessages(static_cast<const MessageInfo*>(holder), OgtActivitiesField::activities);
  for (uint32_t i = 0; list && i < list->count; ++i) {
    const void* item = list->items[i];
    activities.push_back(isRecordOf(item, messages::kOgtActivitySchema)
                             ? APMPActivityRecordOf(static_cast<const MessageInfo*>(item))
                             : APMPActivityRecord());
  }
  return activities;
}
