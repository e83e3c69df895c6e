// `APMPProgramEntity`: a program node in memory, field for field the
// RuntimeEntity message of the script programs (type, value, name,
// string_value, boolean_value, number_value; absent fields stay empty).
// Programs are syntax trees of these; the entity converter turns them into
// runtime values. A plain value type.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The node types of field `type`; any other value is refused (error 12).
enum APMPEntityType : int32_t {
  kAPMPEntityString = 1,
  kAPMPEntityNumber = 2,
  kAPMPEntityBoolean = 3,
  kAPMPEntityStatement = 4,
};

struct APMPProgramEntity {
  int32_t type = 0;  // absent reads as 0
  std::vector<APMPProgramEntity> value;  // a statement's operands
  std::optional<std::string> name;  // a statement's function name (UTF-8)
  std::optional<std::string> stringValue;  // UTF-8
  std::optional<bool> booleanValue;
  std::optional<double> numberValue;
};
