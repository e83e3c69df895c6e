// `APMPEvent`: the script's view of one measurement event, a name, a
// timestamp (in the engine's unit) and parameters (texts or numbers, integer
// or floating, by name).
//
// A plain value: copying it copies the parameters, so the copy and the
// original change independently. Used by one thread at a time.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/object.h"

class APMPEvent {
 public:
  using Parameters = platform::Object::Dictionary;

  // The empty name, no parameters, timestamp 0.
  APMPEvent() = default;
  // `initWithName:timestamp:parameters:`.
  APMPEvent(std::string name, double timestamp, Parameters parameters)
      : name_(std::move(name)), timestamp_(timestamp), parameters_(std::move(parameters)) {}

  const std::string& name() const noexcept { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  // `setName`, answering the name before.
  std::string exchangeName(std::string name) { return std::exchange(name_, std::move(name)); }
  double timestamp() const noexcept { return timestamp_; }
  void setTimestamp(double timestamp) noexcept { timestamp_ = timestamp; }

  const Parameters& parameters() const noexcept { return parameters_; }
  // The parameters as they stand, for writes that bypass normalisation.
  Parameters& mutableParameters() noexcept { return parameters_; }
  // nil when absent.
  platform::Object parameterForName(std::string_view name) const;
  bool hasParameterName(std::string_view name) const { return parameters_.find(name) != parameters_.end(); }
  // Stores `value` normalised against the current value of `name`
  // (`APMPNormalizedParameter`); nil removes the parameter.
  void setParameter(platform::Object value, std::string_view name) { exchangeParameter(std::move(value), name); }
  // `setParameter`, answering the value the parameter had (nil when none).
  platform::Object exchangeParameter(platform::Object value, std::string_view name);

  // Equal when this is the same object, or when the timestamps differ by no
  // more than the double epsilon (2^-52), the names are identical, and both
  // hold the same parameter names with equal values: a number equals a
  // number of the same value only when both are floating or both integer.
  // Both parameter sets are compared, so an event that lost a parameter is
  // not equal to the one that has it.
  bool isEqualToEvent(const APMPEvent& other) const;

 private:
  std::string name_;
  double timestamp_ = 0;
  Parameters parameters_;
};

// Parameter values as `isEqualToEvent` compares them: equal, and numbers
// both floating or both integer.
bool APMPEqualParameterValues(const platform::Object& a, const platform::Object& b);

// How a number stored under `name` is normalised against the parameter's
// `current` value (nil when there is none): under "_syn", "_err" and "_el"
// it becomes an integer; a floating current value takes it as it is; an
// integer current value keeps itself for a name beginning with "_" and
// makes it an integer otherwise; a text current value makes it the number's
// text ("3", "2.5"). With no current value, and for values that are not
// numbers, `value` is answered as it is. Integers are truncated toward
// zero and saturate at the 64-bit bounds.
platform::Object APMPNormalizedParameter(platform::Object value, std::string_view name,
                                         const platform::Object& current);

// What an event holds, as its editor's memory bound counts it (the event
// object itself aside): its name's bytes and, per parameter,
// `kAPMPEntryBytes`, the name's bytes and what the value holds. A value
// holds its text's bytes; a list, per element, an object and what that
// element holds; a dictionary, per entry, what a parameter does. Close to
// what the allocator hands out, and the same however the event was built.
inline constexpr size_t kAPMPEntryBytes = 4 * sizeof(void*) + sizeof(std::string) + sizeof(platform::Object);
size_t APMPListBytes(const platform::Object& value) noexcept;  // lists and dictionaries, walked
inline size_t APMPObjectBytes(const platform::Object& value) noexcept {
  using Kind = platform::Object::Kind;
  if (const std::string* text = value.string()) return text->size();
  return value.kind() == Kind::Array || value.kind() == Kind::Dictionary ? APMPListBytes(value) : 0;
}
size_t APMPEventBytes(const APMPEvent& event) noexcept;
