#include "measurement/storage/database/record.h"

#include <algorithm>

APMRecord::APMRecord(std::initializer_list<std::pair<std::string_view, platform::Object>> entries) {
  columns_ = std::make_shared<ColumnNames>();
  columns_->reserve(entries.size());
  values_.reserve(entries.size());
  for (const auto& [column, value] : entries) {
    auto& names = *columns_;
    auto same = std::find(names.begin(), names.end(), column);
    if (same != names.end()) {
      values_[static_cast<size_t>(same - names.begin())] = value;
    } else if (!value.isNil()) {
      names.emplace_back(column);
      values_.push_back(value);
    }
  }
}

const platform::Object* APMRecord::find(std::string_view column) const {
  if (!columns_) return nullptr;
  const platform::Object* values = this->values();
  for (size_t i = 0; i < columns_->size(); ++i) {
    if ((*columns_)[i] == column) return values[i].isNil() ? nullptr : &values[i];
  }
  return nullptr;
}

platform::Object APMRecord::operator[](std::string_view column) const {
  const platform::Object* value = find(column);
  return value ? *value : platform::Object();
}

void APMRecord::detach() {
  if (!rowValues_) return;
  values_.assign(rowValues_, rowValues_ + columns_->size());
  rowValues_ = nullptr;
  // A private list, so that the block of rows is not kept alive for it.
  columns_ = std::make_shared<ColumnNames>(*columns_);
}

void APMRecord::set(std::string_view column, platform::Object value) {
  detach();
  if (columns_) {
    for (size_t i = 0; i < values_.size(); ++i) {
      if ((*columns_)[i] == column) {
        values_[i] = std::move(value);
        return;
      }
    }
  }
  if (value.isNil()) return;
  // A list shared with copies of this record must not change under them.
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
  forEach([&](const std::string&, const platform::Object&) { ++count; });
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

platform::Object* APMRecordRows::appendRow() {
  // Chunks grow from a few rows to a few hundred: a one-row answer stays
  // small, a long one needs few allocations.
  constexpr size_t kFirstChunkRows = 4;
  constexpr size_t kLargestChunkRows = 256;
  size_t width = std::max<size_t>(columns_.size(), 1);
  if (chunks_.empty() || usedRows_ == chunkRows_) {
    chunkRows_ = chunks_.empty() ? kFirstChunkRows : std::min(chunkRows_ * 2, kLargestChunkRows);
    chunks_.emplace_back(new platform::Object[chunkRows_ * width]);
    usedRows_ = 0;
  }
  return chunks_.back().get() + width * usedRows_++;
}

APMRecord APMRecordRows::recordOfRow(const platform::Object* row) {
  APMRecord record;
  record.columns_ = std::shared_ptr<APMRecord::ColumnNames>(shared_from_this(), &columns_);
  record.rowValues_ = row;
  return record;
}
