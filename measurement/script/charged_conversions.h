// Conversions whose cost is charged to a scope's work budget.
//
// The text form of an array can be millions of code units long, and reading
// a number from a long text walks all of it: one evaluation doing that over
// and over would make the instruction budget hours long. These conversions
// charge one unit per code unit copied or produced and per element visited.
// A string's cost is charged before the copy; an array's element by element
// as its walk reaches them, before each is appended; any other value's by
// the length of its form, before it is made. Long forms count against the
// runtime's memory bound while they live (`APMPTextForm`). Failures as for
// the plain conversions, or error 18 when the budget or the memory bound
// is spent. Same threads as the scope.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/script/evaluator.h"
#include "measurement/script/runtime_value.h"
#include "measurement/script/scope.h"

// Charges looking `name` up in a table, which hashes or compares it whole,
// when it is longer than a program's own names (`kAPMPFreeNameLength`);
// false with error 18 when the budget cannot pay.
inline bool APMPChargeNameLookup(std::u16string_view name, APMPScope& scope, platform::ErrorRef& error) {
  return name.size() <= kAPMPFreeNameLength || APMPChargeWork(scope, name.size(), error);
}

// Text forms no longer than this many units (any number's, a map's, a
// boolean's) are charged but not counted against the memory bound: a
// native keeps a few of them at a time, and one that keeps many (a sort's
// keys) counts them itself.
inline constexpr size_t kAPMPUncountedTextForm = 64;

// A text form made for a native's work: charged before it was made, and
// counted against the runtime's memory bound while it lives when it is
// longer than `kAPMPUncountedTextForm`. Reads as the text itself.
class APMPTextForm {
 public:
  APMPTextForm() = default;
  const std::u16string& text() const noexcept { return text_; }
  operator const std::u16string&() const noexcept { return text_; }
  // The text, handed to a value or a list that counts it from now on.
  std::u16string release() && {
    counted_.reset();
    return std::move(text_);
  }

 private:
  friend APMPTextForm APMPChargedText(const APMPRuntimeValue& value, APMPScope& scope, platform::ErrorRef& error);
  friend APMPTextForm APMPChargedJoin(const APMPArrayValue& array, std::u16string_view separator, APMPScope& scope,
                                      platform::ErrorRef& error);
  std::u16string text_;
  std::optional<APMPWorkingBytes> counted_;
};

// The text form of any value. A text is copied, an array joined (charged
// element by element as the walk reaches them), anything else made from
// what it holds; each charged by its length before it is made.
APMPTextForm APMPChargedText(const APMPRuntimeValue& value, APMPScope& scope, platform::ErrorRef& error);
// The same without copying a text: the text itself, or the text form made
// into `form`; null with the error when there is none.
const std::u16string* APMPChargedTextForm(const APMPRuntimeValue& value, APMPTextForm& form, APMPScope& scope,
                                          platform::ErrorRef& error);
inline const std::u16string* APMPChargedTextView(const APMPRuntimeValue& value, APMPTextForm& form,
                                                 APMPScope& scope, platform::ErrorRef& error) {
  if (const std::u16string* text = value.text()) return text;
  return APMPChargedTextForm(value, form, scope, error);
}
double APMPChargedNumber(const APMPRuntimeValue& value, APMPScope& scope, platform::ErrorRef& error);
// `APMPToInteger` of the charged number form.
double APMPChargedInteger(const APMPRuntimeValue& value, APMPScope& scope, platform::ErrorRef& error);
// The order of two texts, -1, 0 or 1 (`script_text::compareTexts`), paying
// for what it reads and decomposes; 1 with error 18 when the budget cannot.
int APMPChargedTextOrder(std::u16string_view a, std::u16string_view b, APMPScope& scope, platform::ErrorRef& error);
// Charges what testing two texts for equality may read (the shorter one's
// length); false with error 18 when the budget cannot pay it.
bool APMPChargeTextComparison(std::u16string_view a, std::u16string_view b, APMPScope& scope,
                              platform::ErrorRef& error);
// `APMPStrictEquals`, two texts of one length paying for their comparison;
// false with error 18 when the budget is spent.
bool APMPChargedStrictEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b, APMPScope& scope,
                             platform::ErrorRef& error);
// The array's elements joined by `separator` (its text form for ","),
// charged likewise; the text, as it grows, counted against the memory
// bound.
APMPTextForm APMPChargedJoin(const APMPArrayValue& array, std::u16string_view separator, APMPScope& scope,
                             platform::ErrorRef& error);
// A new string value of `pieces` one after the other, each piece's units
// charged before it is made; error 18 when it would be longer than
// `kAPMPMaxTextLength`.
APMPRuntimeValue APMPChargedConcatenation(std::span<const std::u16string_view> pieces, APMPScope& scope,
                                          platform::ErrorRef& error);
// The text forms of `values`, one after the other, each counted in
// `counted` (with its place in the list) as it is made.
std::vector<std::u16string> APMPChargedTexts(std::span<const APMPRuntimeValue> values, APMPWorkingBytes& counted,
                                             APMPScope& scope, platform::ErrorRef& error);
// The text form in UTF-8, its conversion charged beside the text form: up
// to three bytes written for each code unit read. `copies` bytes for each
// byte of it (the UTF-8 text, and the copies a host makes of it while the
// native passes it on) are counted in `counted` before it is made.
std::string APMPChargedUtf8(const APMPRuntimeValue& value, APMPWorkingBytes& counted, size_t copies,
                            APMPScope& scope, platform::ErrorRef& error);
