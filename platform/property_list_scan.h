// Structural checks run on property-list bytes before the parser sees them:
// the parser recurses once per nesting level and copies shared binary
// objects at each reference, so deep or self-multiplying documents would
// exhaust the stack or memory. Internal to the platform layer.
#pragma once

#include <cstddef>
#include <string_view>

namespace platform::detail {

// True when the document nests at most `maxDepth` containers deep and, for
// the binary form, expands to at most `maxObjects` objects without cycles.
// Bytes that are not well-formed enough to tell answer false.
bool propertyListWithinBounds(std::string_view bytes, size_t maxDepth, size_t maxObjects);

}  // namespace platform::detail
