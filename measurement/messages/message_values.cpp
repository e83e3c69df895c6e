#include "measurement/messages/message_values.h"

#include <cmath>

#include "platform/numbers.h"

namespace messages {

const char* consentTypeText(int32_t type) {
  static constexpr const char* kTexts[] = {"ad_storage", "analytics_storage", "ad_user_data",
                                           "ad_personalization"};
  if (type < kConsentAdStorage || type > kConsentAdPersonalization) return nullptr;
  return kTexts[type - kConsentAdStorage];
}

const char* consentStatusText(int32_t status) {
  if (status == kConsentGranted) return "granted";
  if (status == kConsentDenied) return "denied";
  return nullptr;
}

bool resultDataBitIsSet(std::span<const uint64_t> words, int32_t filterID) {
  if (filterID < 0) return false;
  const size_t word = static_cast<size_t>(filterID) / 64;
  if (word >= words.size()) return false;
  return (words[word] >> (filterID % 64)) & 1u;
}

bool resultDataFilterIsTrue(std::span<const uint64_t> status, std::span<const uint64_t> results,
                            int32_t filterID) {
  return resultDataBitIsSet(status, filterID) && resultDataBitIsSet(results, filterID);
}

int32_t experimentErrorCodeForStatus(int32_t status) {
  static constexpr int32_t kCodes[] = {0, -2, -3, -4};
  if (status < 0 || status > 3) return -1;
  return kCodes[status];
}

bool isKnownRuntimeEntityType(int32_t type) {
  return type >= kRuntimeEntityString && type <= kRuntimeEntityStatement;
}

int64_t millisecondsFromSeconds(double seconds) {
  return platform::saturatingCast<int64_t>(seconds * 1000.0);
}

double secondsFromMilliseconds(int64_t milliseconds) {
  const double quotient = static_cast<double>(milliseconds) / 1000.0;
  // The quotient is within an ulp or two of a value that truncates back: a
  // product that falls short moves the candidate away from zero, one that
  // overshoots (only where ms itself is not a double) toward it.
  const double awayFromZero = milliseconds > 0 ? HUGE_VAL : -HUGE_VAL;
  double seconds = quotient;
  for (int step = 0; step < 4; ++step) {
    const int64_t back = millisecondsFromSeconds(seconds);
    if (back == milliseconds) return seconds;
    const bool shortOfIt = milliseconds > 0 ? back < milliseconds : back > milliseconds;
    seconds = std::nextafter(seconds, shortOfIt ? awayFromZero : 0.0);
  }
  return quotient;
}

} // namespace messages
