// Reads arbitrary bytes as a property list (XML or binary). Bounded input
// must never crash, hang or exhaust memory; whatever reads must write as
// XML unless it holds what XML cannot (a NUL in a string), and that XML
// must read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/property_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  platform::Object value = platform::propertyListFromBytes(bytes);
  if (value.isNil()) return 0;
  platform::ErrorRef error;
  auto xml = platform::xmlPropertyList(value, &error);
  if (!xml) {
    if (error->localizedDescription().find("too large") != std::string::npos) std::abort();
    return 0;
  }
  if (platform::propertyListFromBytes(*xml).isNil()) std::abort();
  return 0;
}
