// Small value rules that go with the measurement message schemas: the
// consent enums and their texts, the bit words of audience results, the
// experiment status codes, the node types of script programs, the filter
// comparison types and the conversion of engine times to message times.
//
// Plain functions over plain values; any thread may call them.
#pragma once

#include <cstdint>
#include <span>

namespace messages {

// ConsentDefaultEntry.consent_type, ConsentDelegationEntry.consent_type and
// .delegate_consent_type.
enum ConsentType : int32_t {
  kConsentAdStorage = 1,
  kConsentAnalyticsStorage = 2,
  kConsentAdUserData = 3,
  kConsentAdPersonalization = 4,
};
// ConsentDefaultEntry.default_status.
enum ConsentStatus : int32_t { kConsentGranted = 1, kConsentDenied = 2 };

// "ad_storage", "analytics_storage", "ad_user_data", "ad_personalization";
// null for any other value (such entries are skipped when read).
const char* consentTypeText(int32_t type);
// "granted", "denied"; null for any other value.
const char* consentStatusText(int32_t status);

// StringFilter.match_type; 0 and other values make a filter invalid.
enum StringMatchType : int32_t {
  kMatchRegularExpression = 1,
  kMatchBeginsWith = 2,
  kMatchEndsWith = 3,
  kMatchContains = 4,
  kMatchExact = 5,
  kMatchInList = 6,
};
// NumberFilter.comparison_type; 0 and other values make a filter invalid.
enum NumberComparisonType : int32_t {
  kCompareLessThan = 1,
  kCompareGreaterThan = 2,
  kCompareEqual = 3,
  kCompareBetween = 4,
};

// ResultData bit words: filter ID f is bit (f mod 64) of word (f / 64),
// bit 0 the least significant. False for a negative ID or a word past the
// end.
bool resultDataBitIsSet(std::span<const uint64_t> words, int32_t filterID);
// A filter is true only when it was evaluated (its `status` bit) and
// evaluated true (its `results` bit).
bool resultDataFilterIsTrue(std::span<const uint64_t> status, std::span<const uint64_t> results,
                            int32_t filterID);

// The domain of the errors recorded for refused SDK responses.
inline constexpr const char* kExperimentErrorDomain =
    "com.voraza.vuv.measurement.experiment.ErrorDomain";
// SdkResponse.status as an error code of that domain: 0 for status 0
// (success), -2, -3, -4 for statuses 1, 2, 3, and -1 for any other value
// (the status is an unsigned enum on the wire, so negative readings count
// as large).
int32_t experimentErrorCodeForStatus(int32_t status);

// RuntimeEntity.type: which fields of a program node are read. Any other
// value is an error of the script runtime, not of the message layer.
enum RuntimeEntityType : int32_t {
  kRuntimeEntityString = 1,
  kRuntimeEntityNumber = 2,
  kRuntimeEntityBoolean = 3,
  kRuntimeEntityStatement = 4,
};
bool isKnownRuntimeEntityType(int32_t type);

// Engine seconds since 1970 as message milliseconds: times 1000, truncated
// toward zero, clamped to the int64 range (NaN gives 0).
int64_t millisecondsFromSeconds(double seconds);

// Message milliseconds as engine seconds: the double next to ms / 1000 that
// millisecondsFromSeconds turns back into ms, so that a time read and written
// again keeps its value (ms / 1000.0 alone truncates back to ms - 1 for some
// values, ordinary dates among them). Where no double does (only far
// beyond any real date), the plain quotient.
double secondsFromMilliseconds(int64_t milliseconds);

} // namespace messages
