#include "measurement/storage/system/numeric_util.h"

#include <cstring>

#include "measurement/engine/monitor.h"
#include "platform/crypto.h"

int64_t APMNumericUtil::randomInt64() {
  uint8_t bytes[8];
  platform::ErrorRef error;
  if (!platform::secureRandomBytes(bytes, sizeof bytes, &error)) {
    APMMeasurement::monitor()->logWithLevel(5, 26004, "Unable to generate random integer",
                                            platform::Object(error->localizedDescription()));
    return 0;
  }
  int64_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}
