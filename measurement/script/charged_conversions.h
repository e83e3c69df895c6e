// Conversions whose cost is charged to a scope's work budget.
//
// The text form of an array can be millions of code units long, and reading
// a number from a long text walks all of it: one evaluation doing that over
// and over would make the instruction budget hours long. These conversions
// charge one unit per code unit copied or produced and per element visited.
// A string's cost is charged before the copy; an array's element by element
// as its walk reaches them, before each is appended. Failures as for the
// plain conversions, or error 18 when the budget is spent. Same threads as
// the scope.
#pragma once

#include <string>
#include <string_view>

#include "measurement/script/evaluator.h"
#include "measurement/script/runtime_value.h"
#include "measurement/script/scope.h"

// Charges looking `name` up in a table, which hashes or compares it whole,
// when it is longer than a program's own names (`kAPMPFreeNameLength`);
// false with error 18 when the budget cannot pay.
inline bool APMPChargeNameLookup(std::u16string_view name, APMPScope& scope, platform::ErrorRef& error) {
  return name.size() <= kAPMPFreeNameLength || APMPChargeWork(scope, name.size(), error);
}

std::u16string APMPChargedText(const APMPRuntimeValue& value, APMPScope& scope, platform::ErrorRef& error);
// The same without copying a text: the text itself, or the text form made
// into `form`; null with the error when there is none.
const std::u16string* APMPChargedTextForm(const APMPRuntimeValue& value, std::u16string& form, APMPScope& scope,
                                          platform::ErrorRef& error);
inline const std::u16string* APMPChargedTextView(const APMPRuntimeValue& value, std::u16string& form,
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
// charged likewise.
std::u16string APMPChargedJoin(const APMPArrayValue& array, std::u16string_view separator, APMPScope& scope,
                               platform::ErrorRef& error);
// The text form in UTF-8, its conversion charged beside the text form: up
// to three bytes written for each code unit read.
std::string APMPChargedUtf8(const APMPRuntimeValue& value, APMPScope& scope, platform::ErrorRef& error);
