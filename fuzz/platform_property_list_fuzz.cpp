// Reads arbitrary bytes as a property list (XML or binary). Bounded input
// must never crash, hang or exhaust memory; whatever reads must write as
// XML, and that XML must read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/property_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  platform::Object value = platform::propertyListFromBytes(bytes);
  if (value.isNil()) return 0;
  auto xml = platform::xmlPropertyList(value);
  if (!xml || platform::propertyListFromBytes(*xml).isNil()) std::abort();
  return 0;
}
