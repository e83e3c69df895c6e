#include "measurement/script/script_regex.h"

#include <unicode/regex.h>

#include <climits>
#include <memory>

#include "measurement/script/evaluator.h"
#include "measurement/script/script_text.h"
#include "platform/property_list.h"

namespace {

// ICU calls the match callback once per tick of its step counter.
constexpr uint64_t kStepsPerTick = 10000;
// Ticks one match may take, and the bytes its backtracking stack may use.
constexpr int32_t kTimeLimitTicks = 250;
constexpr int32_t kStackLimitBytes = 1 << 20;

platform::ErrorRef regexError(std::u16string_view pattern, const char* description) {
  platform::Object::Dictionary info;
  info.emplace(platform::kLocalizedDescriptionKey, description);
  info.emplace("NSInvalidValue", script_text::toUtf8(pattern));
  return platform::Error::make(platform::kCocoaErrorDomain, kAPMPRegexErrorCode, std::move(info));
}

struct Budget {
  APMPScope* scope;
  platform::ErrorRef* error;
};

UBool U_CALLCONV chargeSteps(const void* context, int32_t) {
  const auto* budget = static_cast<const Budget*>(context);
  return APMPChargeWork(*budget->scope, kStepsPerTick, *budget->error);
}

}  // namespace

bool APMPFindFirstMatch(std::u16string_view pattern, std::u16string_view text, APMPScope& scope,
                        APMPRegexMatch& match, platform::ErrorRef& error) {
  match = {};
  if (pattern.size() > INT32_MAX || text.size() > INT32_MAX) {
    APMPSetError(error, kAPMPErrorLimit);
    return false;
  }
  if (!APMPChargeWork(scope, pattern.size(), error)) return false;
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError{};
  const std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(
      icu::UnicodeString(false, pattern.data(), static_cast<int32_t>(pattern.size())), 0, parseError, status));
  if (U_FAILURE(status) || !compiled) {
    if (!error) error = regexError(pattern, "The value is not a valid regular expression.");
    return false;
  }
  const icu::UnicodeString input(false, text.data(), static_cast<int32_t>(text.size()));
  const std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(input, status));
  Budget budget{&scope, &error};
  if (matcher) {
    matcher->setTimeLimit(kTimeLimitTicks, status);
    matcher->setStackLimit(kStackLimitBytes, status);
    matcher->setMatchCallback(chargeSteps, &budget, status);
  }
  if (U_FAILURE(status) || !matcher) {
    if (!error) error = regexError(pattern, "The regular expression could not be prepared.");
    return false;
  }
  match.found = matcher->find(status);
  if (U_SUCCESS(status) && match.found) {
    match.location = static_cast<size_t>(matcher->start(status));
    match.length = static_cast<size_t>(matcher->end(status)) - match.location;
  }
  if (U_FAILURE(status)) {
    // A spent budget has set error 18 already; a time or stack limit gets
    // the pattern's error.
    if (!error) error = regexError(pattern, "The regular expression exceeded its time or stack limit.");
    match = {};
    return false;
  }
  return true;
}
