// Structural checks run on property-list bytes before the parser sees them:
// the parser recurses once per nesting level and copies shared binary
// objects at each reference, so deep or self-multiplying documents would
// exhaust the stack or memory, and their XML form would outgrow the limit
// the reader sets on files. Internal to the platform layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace platform::detail {

// The least room a value takes in the XML form: `bytes` at the top level,
// plus one tab for each of its `lines` per level deeper. Every value has a
// line of its own of at least 8 bytes ("<true/>" and its newline); text and
// data add at least their length (escapes, digits and wrapped data lines
// only add more), and a container with elements has two tag lines.
struct XmlSize {
  uint64_t bytes = 0;
  uint64_t lines = 0;

  uint64_t atIndent(uint64_t tabs) const { return bytes + lines * tabs; }
  // Adds `element`, one level deeper than this value.
  void addElement(const XmlSize& element) {
    bytes += element.atIndent(1);
    lines += element.lines;
  }
};

// A value without elements whose text is `payload` bytes long once written
// (the base64 length for data).
inline XmlSize leastXmlSizeOfLeaf(uint64_t payload) { return {payload + 8, 1}; }
// The two tag lines of a container with elements.
inline XmlSize leastXmlSizeOfContainerTags() { return {15, 2}; }

// True when the document nests at most `maxDepth` containers deep and, for
// the binary form, expands without cycles to at most `maxObjects` objects
// whose XML form would need no more than `maxXmlBytes` bytes by the least
// room above, and has no dictionary key holding NUL. Bytes that are not
// well-formed enough to tell answer false.
bool propertyListWithinBounds(std::string_view bytes, size_t maxDepth, size_t maxObjects,
                              uint64_t maxXmlBytes);

}  // namespace platform::detail
