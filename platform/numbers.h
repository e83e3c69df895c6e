// Conversions from floating point to integers. Every such conversion in the
// system goes through `saturatingCast`: out-of-range values clamp to the
// target's bounds and NaN gives 0, where a plain cast would be undefined.
#pragma once

#include <cmath>
#include <limits>
#include <type_traits>

namespace platform {

template <typename Int>
constexpr Int saturatingCast(double value) {
  static_assert(std::is_integral_v<Int>);
  if (std::isnan(value)) return 0;
  // The bounds as doubles: max() + 1 is a power of two and exact.
  constexpr double upper = static_cast<double>(std::numeric_limits<Int>::max() / 2 + 1) * 2.0;
  constexpr double lower = static_cast<double>(std::numeric_limits<Int>::min());
  if (value >= upper) return std::numeric_limits<Int>::max();
  if (value <= lower) return std::numeric_limits<Int>::min();
  return static_cast<Int>(value);
}

}  // namespace platform
