#include "platform/property_list_scan.h"

#include <cstdint>
#include <vector>

namespace platform::detail {
namespace {

// Counts <array> and <dict> nesting, skipping comments, CDATA sections,
// processing instructions and the DOCTYPE, where tag-like text is not markup.
bool xmlWithinBounds(std::string_view xml, size_t maxDepth) {
  size_t depth = 0;
  size_t i = 0;
  auto skipPast = [&](size_t from, std::string_view end) {
    size_t at = xml.find(end, from);
    i = at == std::string_view::npos ? xml.size() : at + end.size();
  };
  while ((i = xml.find('<', i)) != std::string_view::npos) {
    std::string_view rest = xml.substr(i);
    if (rest.starts_with("<!--")) {
      skipPast(i + 4, "-->");
    } else if (rest.starts_with("<![CDATA[")) {
      skipPast(i + 9, "]]>");
    } else if (rest.starts_with("<?")) {
      skipPast(i + 2, "?>");
    } else if (rest.starts_with("<!")) {
      skipPast(i + 2, ">");
    } else {
      size_t close = xml.find('>', i);
      if (close == std::string_view::npos) break;
      std::string_view tag = xml.substr(i + 1, close - i - 1);
      const bool closing = tag.starts_with('/');
      const bool selfClosing = !closing && tag.ends_with('/');
      if (closing) tag.remove_prefix(1);
      size_t nameEnd = tag.find_first_of(" \t\r\n/");
      std::string_view name = tag.substr(0, nameEnd);
      if (name == "array" || name == "dict") {
        if (closing) {
          if (depth > 0) --depth;
        } else if (depth + 1 > maxDepth) {
          return false;
        } else if (!selfClosing) {
          ++depth;
        }
      }
      i = close + 1;
    }
  }
  return true;
}

// The binary form: a header, objects, a table of object offsets and a
// 32-byte trailer naming the sizes, the object count, the top object and
// the table's offset.
class BinaryScan {
 public:
  BinaryScan(std::string_view bytes, size_t maxDepth, size_t maxObjects)
      : bytes_(bytes), maxDepth_(maxDepth), maxObjects_(maxObjects) {}

  bool run() {
    const size_t n = bytes_.size();
    if (n < 8 + 32) return false;
    const size_t trailer = n - 32;
    offsetSize_ = byte(trailer + 6);
    refSize_ = byte(trailer + 7);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return false;
    const uint64_t count = bigEndian(trailer + 8, 8);
    const uint64_t top = bigEndian(trailer + 16, 8);
    table_ = bigEndian(trailer + 24, 8);
    if (table_ < 8 || table_ > trailer || count == 0 || top >= count ||
        count > (trailer - table_) / offsetSize_) {
      return false;
    }
    count_ = count;
    height_.assign(count, 0);
    expanded_.assign(count, 0);
    uint32_t total = 0;
    return visit(top, 1, total);
  }

 private:
  static constexpr uint8_t kVisiting = 0xFF;

  uint8_t byte(size_t at) const { return static_cast<uint8_t>(bytes_[at]); }

  uint64_t bigEndian(size_t at, size_t size) const {
    uint64_t value = 0;
    for (size_t k = 0; k < size; ++k) value = (value << 8) | byte(at + k);
    return value;
  }

  // Finds the height and expanded size of `object` at nesting `level`.
  // Recursion stops at maxDepth levels, so the stack stays small.
  bool visit(uint64_t object, size_t level, uint32_t& expanded) {
    if (level > maxDepth_) return false;
    uint8_t& height = height_[object];
    if (height == kVisiting) return false;  // a container inside itself
    if (height != 0) {
      expanded = expanded_[object];
      return level - 1 + height <= maxDepth_;
    }
    const uint64_t offset = bigEndian(table_ + object * offsetSize_, offsetSize_);
    if (offset < 8 || offset >= table_) return false;
    const uint8_t marker = byte(offset);
    const uint8_t type = marker >> 4;
    if (type != 0xA && type != 0xC && type != 0xD) {
      height = 1;
      expanded = expanded_[object] = 1;
      return true;
    }
    uint64_t entries = marker & 0x0F;
    uint64_t refs = offset + 1;
    if (entries == 0x0F) {
      if (refs >= table_) return false;
      const uint8_t intMarker = byte(refs);
      const size_t size = size_t{1} << (intMarker & 0x0F);
      if ((intMarker >> 4) != 0x1 || size > 8 || refs + 1 + size > table_) return false;
      entries = bigEndian(refs + 1, size);
      refs += 1 + size;
    }
    const uint64_t refCount = type == 0xD ? entries * 2 : entries;
    if (entries > table_ || refCount > (table_ - refs) / refSize_) return false;
    height = kVisiting;
    uint8_t tallest = 0;
    uint64_t total = 1;
    for (uint64_t k = 0; k < refCount; ++k) {
      const uint64_t child = bigEndian(refs + k * refSize_, refSize_);
      uint32_t childExpanded = 0;
      if (child >= count_ || !visit(child, level + 1, childExpanded)) {
        height = 0;
        return false;
      }
      if (height_[child] > tallest) tallest = height_[child];
      total += childExpanded;
      if (total > maxObjects_) {
        height = 0;
        return false;
      }
    }
    height = static_cast<uint8_t>(tallest + 1);
    expanded = expanded_[object] = static_cast<uint32_t>(total);
    return true;
  }

  std::string_view bytes_;
  size_t maxDepth_;
  size_t maxObjects_;
  size_t offsetSize_ = 0;
  size_t refSize_ = 0;
  uint64_t table_ = 0;
  uint64_t count_ = 0;
  // Per object: 0 unknown, kVisiting while its children are visited, else
  // its height (at most maxDepth_, below kVisiting).
  std::vector<uint8_t> height_;
  std::vector<uint32_t> expanded_;
};

}  // namespace

bool propertyListWithinBounds(std::string_view bytes, size_t maxDepth, size_t maxObjects) {
  if (maxDepth >= 0xFF || maxObjects > UINT32_MAX) return false;
  if (bytes.starts_with("bplist")) return BinaryScan(bytes, maxDepth, maxObjects).run();
  return xmlWithinBounds(bytes, maxDepth);
}

}  // namespace platform::detail
