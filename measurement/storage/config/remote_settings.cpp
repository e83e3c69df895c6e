#include "measurement/storage/config/remote_settings.h"

#include <charconv>
#include <cmath>

#include "platform/numbers.h"

namespace {

constexpr APMRemoteSettingTransform transformOf(APMRemoteSettingKind kind) {
  return kind == APMRemoteSettingKind::Interval || kind == APMRemoteSettingKind::Count
             ? &APMMillisecondsToSeconds
             : nullptr;
}

constexpr APMRemoteSetting kSettings[] = {
#define APM_REMOTE_SETTING_ROW(name, key, kind, def, min, max, access) \
  {#name, key, APMRemoteSettingKind::kind, def, min, max, transformOf(APMRemoteSettingKind::kind)},
    APM_REMOTE_SETTINGS(APM_REMOTE_SETTING_ROW)
#undef APM_REMOTE_SETTING_ROW
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

using Wide = __int128;

// Integral numbers (booleans, signed, unsigned) widened so that every pair
// compares exactly.
Wide wideValue(const platform::Object& number) {
  if (number.kind() == platform::Object::Kind::UInt) return static_cast<Wide>(number.uint64Value());
  return static_cast<Wide>(number.int64Value());
}

template <typename T>
int order(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

// An integer against a finite double.
int compareWithDouble(Wide integer, double value) {
  // Beyond +-2^64 no 64-bit integer can reach the double.
  if (value >= 18446744073709551616.0) return -1;
  if (value <= -18446744073709551616.0) return 1;
  const double whole = std::trunc(value);
  if (int byWhole = order(integer, static_cast<Wide>(whole))) return byWhole;
  return order(0.0, value - whole);
}

}  // namespace

platform::Object APMMillisecondsToSeconds(const platform::Object& number) {
  return static_cast<double>(number.int64Value()) / 1000.0;
}

std::span<const APMRemoteSetting> APMRemoteSettings() { return kSettings; }

const APMRemoteSetting& APMRemoteSettingRow(APMRemoteSettingID id) {
  return kSettings[static_cast<size_t>(id)];
}

std::optional<platform::Object> APMSettingNumberFromText(std::string_view text) {
  if (text.empty() || text.size() > kAPMSettingTextMaxLength) return std::nullopt;
  size_t pos = 0;
  const bool negative = text[0] == '-';
  if (text[0] == '-' || text[0] == '+') ++pos;
  const size_t integerBegin = pos;
  while (pos < text.size() && isDigit(text[pos])) ++pos;
  const std::string_view integerDigits = text.substr(integerBegin, pos - integerBegin);
  std::string_view fractionDigits;
  if (pos < text.size() && text[pos] == '.') {
    const size_t fractionBegin = ++pos;
    while (pos < text.size() && isDigit(text[pos])) ++pos;
    fractionDigits = text.substr(fractionBegin, pos - fractionBegin);
  }
  if (pos != text.size() || (integerDigits.empty() && fractionDigits.empty())) return std::nullopt;

  // The integer part must fit 64 bits, sign included, whatever follows.
  uint64_t magnitude = 0;
  if (!integerDigits.empty()) {
    auto [end, status] =
        std::from_chars(integerDigits.data(), integerDigits.data() + integerDigits.size(), magnitude);
    if (status != std::errc() || end != integerDigits.data() + integerDigits.size()) return std::nullopt;
  }
  const uint64_t limit = negative ? (uint64_t{1} << 63) : (uint64_t{1} << 63) - 1;
  if (magnitude > limit) return std::nullopt;
  const int64_t integer = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);

  if (fractionDigits.find_first_not_of('0') == std::string_view::npos) return platform::Object(integer);
  // from_chars reads the C grammar, never the locale's; it takes no "+".
  const std::string_view unsigned_text = text.substr(integerBegin);
  double value = 0;
  auto [end, status] =
      std::from_chars(unsigned_text.data(), unsigned_text.data() + unsigned_text.size(), value);
  if (status != std::errc() || end != unsigned_text.data() + unsigned_text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return platform::Object(negative ? -value : value);
}

int APMCompareSettingNumbers(const platform::Object& a, const platform::Object& b) {
  using Kind = platform::Object::Kind;
  const bool aDouble = a.kind() == Kind::Double;
  const bool bDouble = b.kind() == Kind::Double;
  if (aDouble && bDouble) return order(a.doubleValue(), b.doubleValue());
  if (aDouble) return -compareWithDouble(wideValue(b), a.doubleValue());
  if (bDouble) return compareWithDouble(wideValue(a), b.doubleValue());
  return order(wideValue(a), wideValue(b));
}
