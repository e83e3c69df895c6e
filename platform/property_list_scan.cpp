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
  BinaryScan(std::string_view bytes, size_t maxDepth, size_t maxObjects, uint64_t maxXmlBytes)
      : bytes_(bytes), maxDepth_(maxDepth), maxObjects_(maxObjects), maxXmlBytes_(maxXmlBytes) {}

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
    xmlBytes_.assign(count, 0);
    xmlLines_.assign(count, 0);
    return visit(top, 1);
  }

 private:
  static constexpr uint8_t kVisiting = 0xFF;

  uint8_t byte(size_t at) const { return static_cast<uint8_t>(bytes_[at]); }

  uint64_t bigEndian(size_t at, size_t size) const {
    uint64_t value = 0;
    for (size_t k = 0; k < size; ++k) value = (value << 8) | byte(at + k);
    return value;
  }

  // The length of the object at `offset`: in the low half of its marker,
  // or in the integer that follows; `contents` is where its contents start.
  bool length(uint64_t offset, uint64_t& count, uint64_t& contents) const {
    count = byte(offset) & 0x0F;
    contents = offset + 1;
    if (count != 0x0F) return true;
    if (contents >= table_) return false;
    const uint8_t intMarker = byte(contents);
    const size_t size = size_t{1} << (intMarker & 0x0F);
    if ((intMarker >> 4) != 0x1 || size > 8 || contents + 1 + size > table_) return false;
    count = bigEndian(contents + 1, size);
    contents += 1 + size;
    return true;
  }

  // The least XML text of a value that is not a container: strings are
  // written with at least one byte per character, data in base64.
  bool leafPayload(uint64_t offset, uint64_t& payload) const {
    const uint8_t type = byte(offset) >> 4;
    payload = 0;
    if (type != 0x4 && type != 0x5 && type != 0x6) return true;
    uint64_t contents = 0;
    if (!length(offset, payload, contents)) return false;
    if (payload > table_) return false;
    if (type == 0x4) payload = (payload + 2) / 3 * 4;
    return true;
  }

  // Finds the height, expanded size and least XML size of `object` at
  // nesting `level`. Recursion stops at maxDepth levels, so the stack stays
  // small.
  bool visit(uint64_t object, size_t level) {
    if (level > maxDepth_) return false;
    uint8_t& height = height_[object];
    if (height == kVisiting) return false;  // a container inside itself
    if (height != 0) {
      return level - 1 + height <= maxDepth_ && xmlSize(object).atIndent(level - 1) <= maxXmlBytes_;
    }
    const uint64_t offset = bigEndian(table_ + object * offsetSize_, offsetSize_);
    if (offset < 8 || offset >= table_) return false;
    const uint8_t type = byte(offset) >> 4;
    if (type != 0xA && type != 0xC && type != 0xD) {
      uint64_t payload = 0;
      if (!leafPayload(offset, payload)) return false;
      return finish(object, 1, 1, leastXmlSizeOfLeaf(payload), level);
    }
    uint64_t entries = 0;
    uint64_t refs = 0;
    if (!length(offset, entries, refs)) return false;
    const uint64_t refCount = type == 0xD ? entries * 2 : entries;
    if (entries > table_ || refCount > (table_ - refs) / refSize_) return false;
    if (refCount == 0) return finish(object, 1, 1, leastXmlSizeOfLeaf(0), level);
    height = kVisiting;
    uint8_t tallest = 0;
    uint64_t total = 1;
    XmlSize xml = leastXmlSizeOfContainerTags();
    for (uint64_t k = 0; k < refCount; ++k) {
      const uint64_t child = bigEndian(refs + k * refSize_, refSize_);
      // A dictionary's key references come first.
      const bool isKey = type == 0xD && k < entries;
      if (child >= count_ || !visit(child, level + 1) || (isKey && !keyWithoutNul(child))) {
        height = 0;
        return false;
      }
      if (height_[child] > tallest) tallest = height_[child];
      total += expanded_[child];
      xml.addElement(xmlSize(child));
      if (total > maxObjects_ || xml.atIndent(level - 1) > maxXmlBytes_) {
        height = 0;
        return false;
      }
    }
    height = 0;
    return finish(object, tallest + 1, total, xml, level);
  }

  // The parser cannot hand out a key holding NUL (it stops the process),
  // and no such key could be written. Each key object is read once, however
  // many dictionaries refer to it.
  bool keyWithoutNul(uint64_t object) {
    if (keyChecked_.empty()) keyChecked_.assign(count_, false);
    if (keyChecked_[object]) return true;
    const uint64_t offset = bigEndian(table_ + object * offsetSize_, offsetSize_);
    const uint8_t type = byte(offset) >> 4;
    if (type == 0x5 || type == 0x6) {
      uint64_t units = 0;
      uint64_t contents = 0;
      if (!length(offset, units, contents)) return false;
      const uint64_t unitSize = type == 0x6 ? 2 : 1;
      if (units > (table_ - contents) / unitSize) return false;
      for (uint64_t k = 0; k < units; ++k) {
        if (bigEndian(contents + k * unitSize, unitSize) == 0) return false;
      }
    }
    keyChecked_[object] = true;
    return true;
  }

  // Records what `visit` found; the caller has kept `expanded` within
  // maxObjects_ (below 2^32) and the XML size within maxXmlBytes_.
  bool finish(uint64_t object, size_t height, uint64_t expanded, const XmlSize& xml,
              size_t level) {
    if (xml.atIndent(level - 1) > maxXmlBytes_) return false;
    height_[object] = static_cast<uint8_t>(height);
    expanded_[object] = static_cast<uint32_t>(expanded);
    xmlBytes_[object] = static_cast<uint32_t>(xml.bytes);
    xmlLines_[object] = static_cast<uint32_t>(xml.lines);
    return true;
  }

  XmlSize xmlSize(uint64_t object) const { return {xmlBytes_[object], xmlLines_[object]}; }

  std::string_view bytes_;
  size_t maxDepth_;
  size_t maxObjects_;
  uint64_t maxXmlBytes_;
  size_t offsetSize_ = 0;
  size_t refSize_ = 0;
  uint64_t table_ = 0;
  uint64_t count_ = 0;
  // Per object: 0 unknown, kVisiting while its children are visited, else
  // its height (at most maxDepth_, below kVisiting).
  std::vector<uint8_t> height_;
  std::vector<uint32_t> expanded_;
  // Its least XML size at the top level (below maxXmlBytes_ once known).
  std::vector<uint32_t> xmlBytes_;
  std::vector<uint32_t> xmlLines_;
  // Per object: read as a key and found without NUL.
  std::vector<bool> keyChecked_;
};

}  // namespace

bool propertyListWithinBounds(std::string_view bytes, size_t maxDepth, size_t maxObjects,
                              uint64_t maxXmlBytes) {
  if (maxDepth >= 0xFF || maxObjects > UINT32_MAX || maxXmlBytes > UINT32_MAX) return false;
  if (bytes.starts_with("bplist")) {
    return BinaryScan(bytes, maxDepth, maxObjects, maxXmlBytes).run();
  }
  return xmlWithinBounds(bytes, maxDepth);
}

}  // namespace platform::detail
