#include "measurement/storage/database/record.h"

APMRecord::APMRecord(std::initializer_list<std::pair<std::string, platform::Object>> entries) {
  for (const auto& [column, value] : entries) set(column, value);
}

APMRecord::APMRecord(std::shared_ptr<ColumnNames> columns,
                     std::vector<platform::Object> values)
    : columns_(std::move(columns)), values_(std::move(values)) {
  values_.resize(columns_ ? columns_->size() : 0);
}

const platform::Object* APMRecord::find(std::string_view column) const {
  if (!columns_) return nullptr;
  for (size_t i = 0; i < values_.size(); ++i) {
    if ((*columns_)[i] == column) return values_[i].isNil() ? nullptr : &values_[i];
  }
  return nullptr;
}

platform::Object APMRecord::operator[](std::string_view column) const {
  const platform::Object* value = find(column);
  return value ? *value : platform::Object();
}

void APMRecord::set(std::string_view column, platform::Object value) {
  if (columns_) {
    for (size_t i = 0; i < values_.size(); ++i) {
      if ((*columns_)[i] == column) {
        values_[i] = std::move(value);
        return;
      }
    }
  }
  if (value.isNil()) return;
  // The name list may be shared with other rows of the same query: those
  // must not see the new column, so extend a private copy.
  if (!columns_) {
    columns_ = std::make_shared<ColumnNames>();
  } else if (columns_.use_count() > 1) {
    columns_ = std::make_shared<ColumnNames>(*columns_);
  }
  columns_->emplace_back(column);
  values_.push_back(std::move(value));
}

size_t APMRecord::size() const {
  size_t count = 0;
  for (const auto& value : values_) count += value.isNil() ? 0 : 1;
  return count;
}

bool APMRecord::operator==(const APMRecord& other) const {
  if (size() != other.size()) return false;
  bool equal = true;
  forEach([&](const std::string& column, const platform::Object& value) {
    const platform::Object* theirs = other.find(column);
    if (!theirs || !(*theirs == value)) equal = false;
  });
  return equal;
}

std::string APMRecord::description() const {
  std::string text = "{";
  forEach([&](const std::string& column, const platform::Object& value) {
    text += column + " = " + value.description() + "; ";
  });
  if (text.size() > 1) text.resize(text.size() - 1);
  return text + "}";
}
