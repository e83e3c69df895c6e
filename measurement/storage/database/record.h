// `APMRecord`: one table row as the measurement storage layer reads and
// writes it, a map from column name to value.
//
// Values are `platform::Object`s. The store binds byte data, numbers,
// strings and the null marker; any other kind is refused when the record is
// written. A nil value means "no value": setting a column to nil removes it,
// and iteration skips it.
//
// Columns keep the order in which they were first set. Rows read back from
// one query share a single list of column names, so reading many rows costs
// one value vector per row rather than a map with its own key strings; the
// list is copied only when a record adds a column it does not hold yet.
//
// A record is a plain value: copy it freely; one record may be read from
// several threads at once, but not changed while others read it.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/object.h"

class APMRecord {
 public:
  using ColumnNames = std::vector<std::string>;

  APMRecord() = default;
  APMRecord(std::initializer_list<std::pair<std::string, platform::Object>> entries);
  // A row over a shared column list; `values` has one slot per name (nil for
  // a column the row leaves out).
  // The list must not be changed afterwards by anyone else.
  APMRecord(std::shared_ptr<ColumnNames> columns, std::vector<platform::Object> values);

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
    for (size_t i = 0; i < values_.size(); ++i) {
      if (!values_[i].isNil()) visit((*columns_)[i], values_[i]);
    }
  }

  // Same columns with equal values, whatever their order.
  bool operator==(const APMRecord& other) const;

  // "{name = value; ...}" for logs and test failures.
  std::string description() const;

 private:
  // Written in place only while this record is its sole owner.
  std::shared_ptr<ColumnNames> columns_;
  std::vector<platform::Object> values_;
};
