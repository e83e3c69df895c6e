// Turns arbitrary bytes into a bounded program, converts it and runs it under
// the instruction limit: once at load (in the global scope), then its last
// statement as an event would (in a run scope), with a collection after
// each, and converts the answers back to platform objects. An even first
// byte builds a program tree from the rest; an odd one decodes the rest as a
// wire Program message. A few host functions let programs read and bind
// variables, build maps that hold each other and collect in the middle of a
// run. fuzz/script_runtime_fuzz.dict lists every opcode and method name for
// the wire form.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "measurement/messages/nano_accessors.h"
#include "measurement/script/entity_converter.h"
#include "measurement/script/evaluator.h"
#include "measurement/script/runtime.h"
#include "platform/log.h"

namespace {

using Value = APMPRuntimeValue;

constexpr int kMaxDepth = 10;
constexpr size_t kMaxNodes = 600;

const char* const kNames[] = {
    // Every opcode of the instruction set, assigned or not.
    "0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14", "15", "16", "17", "18", "19",
    "20", "21", "22", "23", "24", "25", "26", "27", "28", "29", "30", "31", "32", "33", "34", "35", "36", "37",
    "38", "39", "40", "41", "42", "43", "44", "45", "46", "47", "48", "49", "50", "51", "52", "53", "54", "55",
    "56", "57", "58", "59", "60", "61", "62", "63", "64", "65", "66",
    // Script functions and host functions.
    "f", "g", "require", "get", "declare", "assign", "newMap", "setp", "getp", "collect"};
const char* const kTexts[] = {
    "f", "g", "x", "m", "toString", "hasOwnProperty", "getVersion", "internal.platform", "require", "", "1", "a",
    "0.5", "1e3", " 7 ", "NaN", "[object Object]", "\xFF\xFE", "length", "runtime.counter", "-1", "1048576",
    // Array and string methods.
    "concat", "every", "filter", "forEach", "indexOf", "join", "lastIndexOf", "map", "pop", "push", "reduce",
    "reduceRight", "reverse", "shift", "slice", "some", "sort", "splice", "unshift", "charAt", "match", "replace",
    "search", "split", "substring", "toLowerCase", "toLocaleLowerCase", "toUpperCase", "toLocaleUpperCase", "trim",
    "(a+)+$", "\xF0\x9F\x98\x80"};
const double kNumbers[] = {0, -0.0, 1, -1, 2, 0.5, 1e21, 1e-7, 4294967296.0, 3e9, -3e9, 1.0 / 0.0, -1.0 / 0.0};

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return position_ >= size_; }
  uint8_t byte() { return empty() ? 0 : data_[position_++]; }
  double number() {
    double value = 0;
    const size_t n = std::min(sizeof value, size_ - std::min(position_, size_));
    std::memcpy(&value, data_ + position_, n);
    position_ += n;
    return value;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

template <class T, size_t N>
const T& pick(const T (&table)[N], Reader& reader) {
  return table[reader.byte() % N];
}

APMPProgramEntity build(Reader& reader, int depth, size_t& nodes) {
  ++nodes;
  APMPProgramEntity entity;
  const uint8_t choice = reader.byte();
  const bool leaf = reader.empty() || depth >= kMaxDepth || nodes >= kMaxNodes;
  switch (leaf ? choice % 3 : choice % 11) {
    case 0:
      entity.type = kAPMPEntityNumber;
      if (choice & 0x80) entity.numberValue = (choice & 0x40) ? reader.number() : pick(kNumbers, reader);
      break;
    case 1:
      entity.type = kAPMPEntityString;
      if (choice & 0x80) entity.stringValue = pick(kTexts, reader);
      break;
    case 2:
      entity.type = kAPMPEntityBoolean;
      if (choice & 0x80) entity.booleanValue = (choice & 0x40) != 0;
      break;
    case 3:
      // A node of an unknown type or a statement without a name.
      entity.type = (choice & 0x80) ? kAPMPEntityStatement : (choice >> 4);
      break;
    default: {
      entity.type = kAPMPEntityStatement;
      entity.name = pick(kNames, reader);
      const int operands = reader.byte() % 5;
      for (int i = 0; i < operands && !reader.empty(); ++i) entity.value.push_back(build(reader, depth + 1, nodes));
    }
  }
  return entity;
}

// Host functions over evaluated arguments.
class HostFunction final : public APMPFunctionValue {
 public:
  using Body = Value (*)(std::span<const Value> values, APMPScope& scope);
  HostFunction(const char16_t* name, Body body) : APMPFunctionValue(name), body_(body) {}
  Value invokeWithArguments(std::span<const Value> arguments, APMPScope& scope, platform::ErrorRef& error) override {
    APMPValueList values;
    if (!APMPEvaluateArguments(arguments, scope, error, values)) return {};
    return body_(values, scope);
  }

 private:
  Body body_;
};

std::u16string nameOf(std::span<const Value> values, size_t i) {
  platform::ErrorRef ignored;
  return i < values.size() ? values[i].stringValueOrError(ignored) : std::u16string();
}
Value argument(std::span<const Value> values, size_t i) { return i < values.size() ? values[i] : Value(); }

void bindHostFunctions(APMPRuntime& runtime) {
  struct Entry {
    const char16_t* name;
    HostFunction::Body body;
  };
  static const Entry kHost[] = {
      {u"get", [](auto v, APMPScope& s) { return s.valueForName(nameOf(v, 0)); }},
      {u"declare", [](auto v, APMPScope& s) { return s.addValue(argument(v, 1), nameOf(v, 0)), Value(); }},
      {u"assign", [](auto v, APMPScope& s) { return s.setValue(argument(v, 1), nameOf(v, 0)), Value(); }},
      {u"newMap", [](auto, APMPScope& s) { return Value(APMPObjectManager::mapValueWithScope(s)); }},
      {u"setp",
       [](auto v, APMPScope&) {
         if (APMPMapValue* map = argument(v, 0).asMap()) map->setValue(argument(v, 2), nameOf(v, 1));
         if (APMPFunctionValue* function = argument(v, 0).asFunction()) function->setValue(argument(v, 2), nameOf(v, 1));
         return Value();
       }},
      // A collection in the middle of a run.
      {u"collect",
       [](auto, APMPScope& s) {
         if (APMPObjectManager* manager = s.objectManager()) manager->collectGarbage();
         return Value();
       }},
      {u"getp",
       [](auto v, APMPScope&) {
         if (APMPMapValue* map = argument(v, 0).asMap()) return map->valueForProperty(nameOf(v, 1));
         return Value();
       }},
  };
  for (const Entry& entry : kHost) {
    runtime.globalScope().addValue(Value(APMPMake<HostFunction>(entry.name, entry.body)), entry.name);
  }
}

void exercise(const Value& value) {
  platform::ErrorRef error;
  value.stringValueOrError(error);
  value.doubleValueOrError(error);
  value.booleanValueOrError(error);
  value.isEqualToRuntimeValue(value);
  APMPRuntimeEntityConverter::objectFromRuntimeValue(value);
}

// `program` is the list of entities (in memory, or the records of a
// decoded Program message).
template <class Entities>
void run(const Entities& program) {
  APMPRuntime runtime;
  bindHostFunctions(runtime);
  platform::ErrorRef error;
  const Value loaded = runtime.executeStatements(program, &error);
  runtime.collectGarbage();
  exercise(loaded);

  runtime.resetInstructionCount();
  if (!program.empty()) {
    const APMPConvertedStatements last =
        APMPRuntimeEntityConverter::runtimeValuesFromRuntimeEntities(program.subspan(program.size() - 1, 1));
    const Value statement = last.values.empty() ? Value() : last.values.front();
    APMPRef<APMPScope> scope = runtime.getRunScope();
    platform::ErrorRef eventError;
    // As an event's callback runs: under the memory watch and the
    // processor-time bound of a run.
    const Value result = APMPRunWithinMemory(
        *scope, eventError, [&] { return APMPEvaluator::evaluateStatement(statement, *scope, eventError); });
    runtime.collectGarbage();
    exercise(result);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0 && (data[0] & 1)) {
    // The decoder prints its failures on standard output; keep them quiet.
    platform::LogCapture quiet;
    const auto program = APMPBProgram::initWithBuffer(platform::Bytes(data + 1, data + size));
    if (program) run(APMPProgramInstructions(*program));
    return 0;
  }
  Reader reader(data + (size > 0), size - (size > 0));
  std::vector<APMPProgramEntity> program;
  size_t nodes = 0;
  while (!reader.empty() && nodes < kMaxNodes) program.push_back(build(reader, 0, nodes));
  run(std::span<const APMPProgramEntity>(program));
  return 0;
}
