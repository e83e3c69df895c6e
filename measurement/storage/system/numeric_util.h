// `APMNumericUtil`: random identifiers for the screen tracker. Any thread.
#pragma once

#include <cstdint>

class APMNumericUtil {
 public:
  // Eight bytes of the platform's secure random generator as an int64; 0,
  // logged (level 5, 26004, with the system's error text), when the
  // generator fails.
  static int64_t randomInt64();
};
