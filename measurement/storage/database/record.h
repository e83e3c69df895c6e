// `APMRecord`: one table row as the measurement storage layer reads and
// writes it, a map from column name to value.
//
// Values are `platform::Object`s. The store binds byte data, numbers,
// strings and the null marker; any other kind is refused when the record is
// written. A nil value means "no value": setting a column to nil removes it,
// and iteration skips it.
//
// Columns keep the order in which they were first set. The rows of one query
// live together in one `APMRecordRows` block that their records share, so
// reading many rows allocates neither a map nor key strings nor a value
// list per row; a record read from a query takes a private copy of its row
// the first time it is changed.
//
// A record is a plain value: copy it freely; one record may be read from
// several threads at once, but not changed while others read it.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/object.h"

class APMRecordRows;

class APMRecord {
 public:
  using ColumnNames = std::vector<std::string>;

  APMRecord() = default;
  APMRecord(std::initializer_list<std::pair<std::string_view, platform::Object>> entries);

  // The value of `column`, or null when the record has none.
  const platform::Object* find(std::string_view column) const;
  // The value of `column`, or nil.
  platform::Object operator[](std::string_view column) const;
  bool contains(std::string_view column) const { return find(column) != nullptr; }

  // Sets `column`; a nil value removes it.
  void set(std::string_view column, platform::Object value);
  void remove(std::string_view column) { set(column, platform::Object()); }

  // Number of columns with a value.
  size_t size() const;
  bool empty() const { return size() == 0; }

  // Calls `visit(name, value)` for every column with a value, in column order.
  template <typename Visit>
  void forEach(Visit&& visit) const {
    if (!columns_) return;
    const platform::Object* values = this->values();
    for (size_t i = 0; i < columns_->size(); ++i) {
      if (!values[i].isNil()) visit((*columns_)[i], values[i]);
    }
  }

  // Same columns with equal values, whatever their order.
  bool operator==(const APMRecord& other) const;

  // "{name = value; ...}" for logs and test failures.
  std::string description() const;

 private:
  friend class APMRecordRows;
  const platform::Object* values() const { return rowValues_ ? rowValues_ : values_.data(); }
  // Replaces the shared row by a private copy.
  void detach();

  // For a row of a block: an alias that keeps the block alive. Otherwise
  // the record's own list, changed in place only while it is the sole
  // owner.
  std::shared_ptr<ColumnNames> columns_;
  // The row's values inside its block, or null when `values_` holds them.
  const platform::Object* rowValues_ = nullptr;
  std::vector<platform::Object> values_;
};

// The rows read by one query: their column names and values. Values are kept
// in chunks whose addresses never change, so records handed out early stay
// valid while later rows are appended. Filled by one thread; its records may
// then be read from any thread.
class APMRecordRows : public std::enable_shared_from_this<APMRecordRows> {
 public:
  explicit APMRecordRows(APMRecord::ColumnNames columns) : columns_(std::move(columns)) {}

  const APMRecord::ColumnNames& columns() const { return columns_; }
  // Room for one more row: one nil value per column, to be filled before
  // the row's record is taken.
  platform::Object* appendRow();
  // The record of a row returned by `appendRow`.
  APMRecord recordOfRow(const platform::Object* row);

 private:
  APMRecord::ColumnNames columns_;
  std::vector<std::unique_ptr<platform::Object[]>> chunks_;
  size_t chunkRows_ = 0;
  size_t usedRows_ = 0;
};
