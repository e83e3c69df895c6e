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

  // Complete nodes of each type, for programs built in code.
  static APMPProgramEntity number(double value) {
    APMPProgramEntity e;
    e.type = kAPMPEntityNumber;
    e.numberValue = value;
    return e;
  }
  static APMPProgramEntity string(std::string text) {
    APMPProgramEntity e;
    e.type = kAPMPEntityString;
    e.stringValue = std::move(text);
    return e;
  }
  static APMPProgramEntity boolean(bool value) {
    APMPProgramEntity e;
    e.type = kAPMPEntityBoolean;
    e.booleanValue = value;
    return e;
  }
  // A call of the command `opcode` (or function name) on `operands`.
  static APMPProgramEntity statement(std::string opcode, std::vector<APMPProgramEntity> operands = {}) {
    APMPProgramEntity e;
    e.type = kAPMPEntityStatement;
    e.name = std::move(opcode);
    e.value = std::move(operands);
    return e;
  }
};
