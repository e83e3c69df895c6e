#include "platform/property_list.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <system_error>

#include "platform/numbers.h"
#include "platform/paths.h"
#include "platform/property_list_scan.h"
#include "platform/text.h"

namespace platform {
namespace {

// Dates are stored relative to 2001-01-01 00:00:00 UTC.
constexpr double kSecondsFrom1970To2001 = 978307200.0;

struct NodeDeleter {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

bool cocoaFailure(ErrorRef* error, long code, const std::string& description) {
  setError(error, Error::withDescription(kCocoaErrorDomain, code, description));
  return false;
}

std::string validText(const char* text, size_t length) {
  std::string_view view(text, length);
  if (isValidUtf8(view)) return std::string(view);
  return utf16ToUtf8(utf8ToUtf16(view));
}

// The writer keeps integers as 64-bit patterns and marks those read from
// text above INT64_MAX as unsigned; that mark shows only in the XML form.
bool isUnsignedAboveInt64(plist_t node) {
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(node, &xml, &length);
  if (!xml) return false;
  std::string_view text(xml, length);
  size_t open = text.find("<integer>");
  bool isUnsigned = open != std::string_view::npos && text.substr(open + 9, 1) != "-";
  plist_to_xml_free(xml);
  return isUnsigned;
}

bool isExactlyLeastDate(plist_t node) {
  Node least(plist_new_date(std::numeric_limits<int32_t>::min(), 0));
  return least && plist_compare_node_value(node, least.get()) != 0;
}

bool toObject(plist_t node, size_t depth, Object& out) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t value = 0;
      plist_get_bool_val(node, &value);
      out = Object(value != 0);
      return true;
    }
    case PLIST_UINT: {
      uint64_t value = 0;
      plist_get_uint_val(node, &value);
      if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) &&
          isUnsignedAboveInt64(node)) {
        out = Object(value);
      } else {
        out = Object(static_cast<int64_t>(value));
      }
      return true;
    }
    case PLIST_UID: {
      uint64_t value = 0;
      plist_get_uid_val(node, &value);
      out = Object(value);
      return true;
    }
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(node, &value);
      out = Object(value);
      return true;
    }
    case PLIST_STRING:
    case PLIST_KEY: {
      uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      out = Object(text ? validText(text, length) : std::string());
      return true;
    }
    case PLIST_DATA: {
      uint64_t length = 0;
      const char* bytes = plist_get_data_ptr(node, &length);
      out = Object(bytes ? Bytes(bytes, bytes + length) : Bytes());
      return true;
    }
    case PLIST_DATE: {
      int32_t seconds = 0, micros = 0;
      plist_get_date_val(node, &seconds, &micros);
      // The parser keeps a date as a double but hands it out as 32-bit
      // seconds, and a double out of that range (NaN, infinite, the year
      // 2100) truncates to INT32_MIN. Only the date at exactly INT32_MIN
      // seconds is that date; the others become a date the writer refuses,
      // so the value is refused rather than moved to 1932.
      if (seconds == std::numeric_limits<int32_t>::min() && !isExactlyLeastDate(node)) {
        out = Object(Date{std::numeric_limits<double>::quiet_NaN()});
        return true;
      }
      out = Object(Date{seconds + micros / 1e6 + kSecondsFrom1970To2001});
      return true;
    }
    case PLIST_ARRAY: {
      if (depth > kMaxPropertyListDepth) return false;
      Object::Array array;
      const uint32_t size = plist_array_get_size(node);
      array.reserve(size);
      for (uint32_t i = 0; i < size; ++i) {
        Object element;
        if (!toObject(plist_array_get_item(node, i), depth + 1, element)) return false;
        array.push_back(std::move(element));
      }
      out = Object(std::move(array));
      return true;
    }
    case PLIST_DICT: {
      if (depth > kMaxPropertyListDepth) return false;
      Object::Dictionary dict;
      plist_dict_iter iter = nullptr;
      plist_dict_new_iter(node, &iter);
      bool ok = iter != nullptr;
      while (ok) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, iter, &key, &value);
        if (!value) {
          std::free(key);
          break;
        }
        Object converted;
        ok = key && toObject(value, depth + 1, converted);
        if (ok) dict.insert_or_assign(validText(key, std::char_traits<char>::length(key)),
                                      std::move(converted));
        std::free(key);
      }
      std::free(iter);
      if (!ok) return false;
      out = Object(std::move(dict));
      return true;
    }
    default:
      return false;
  }
}

// Values above INT64_MAX can be marked unsigned only by parsing them.
plist_t newUnsigned(uint64_t value) {
  if (value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return plist_new_uint(value);
  }
  std::string xml = "<plist><integer>" + std::to_string(value) + "</integer></plist>";
  plist_t node = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &node);
  return node;
}

bool hasNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// What the writer has met: the least size of the XML built so far (see
// detail::XmlSize) and, on failure, what could not be written.
struct Writing {
  uint64_t leastXmlBytes = 0;
  std::string problem;
  bool tooLarge = false;

  // Counts the lines of a value at `depth` (the top value is at 1). A shared
  // array is written once per reference, so this also bounds the work.
  bool add(const detail::XmlSize& size, size_t depth) {
    leastXmlBytes += size.atIndent(depth - 1);
    return leastXmlBytes <= kMaxPropertyListFileSize || fail();
  }
  bool fail() {
    problem = "too large";
    tooLarge = true;
    return false;
  }
};

// Builds the writer's tree; on failure `writing` names what could not be
// written.
Node toNode(const Object& value, size_t depth, Writing& writing) {
  uint64_t payload = 0;
  if (const std::string* text = value.string()) payload = text->size();
  if (const Bytes* bytes = value.data()) payload = (bytes->size() + 2) / 3 * 4;
  const bool hasElements = (value.array() && !value.array()->empty()) ||
                           (value.dictionary() && !value.dictionary()->empty());
  if (!writing.add(hasElements ? detail::leastXmlSizeOfContainerTags()
                               : detail::leastXmlSizeOfLeaf(payload),
                   depth)) {
    return nullptr;
  }
  std::string& problem = writing.problem;
  switch (value.kind()) {
    case Object::Kind::Bool:
      return Node(plist_new_bool(value.boolValue() ? 1 : 0));
    case Object::Kind::Int:
      return Node(plist_new_uint(static_cast<uint64_t>(value.int64Value())));
    case Object::Kind::UInt:
      return Node(newUnsigned(value.uint64Value()));
    case Object::Kind::Double:
      return Node(plist_new_real(value.doubleValue()));
    case Object::Kind::String: {
      const std::string& text = *value.string();
      if (hasNul(text)) {
        problem = "string holding NUL";
        return nullptr;
      }
      return Node(plist_new_string(isValidUtf8(text) ? text.c_str()
                                                     : utf16ToUtf8(utf8ToUtf16(text)).c_str()));
    }
    case Object::Kind::Data: {
      const Bytes& bytes = *value.data();
      return Node(plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
    case Object::Kind::Date: {
      const double since2001 = value.date()->secondsSince1970 - kSecondsFrom1970To2001;
      const double seconds = std::floor(since2001);
      if (!(seconds >= std::numeric_limits<int32_t>::min() &&
            seconds <= std::numeric_limits<int32_t>::max())) {
        problem = "date out of range";
        return nullptr;
      }
      const int32_t micros = saturatingCast<int32_t>((since2001 - seconds) * 1e6);
      return Node(plist_new_date(static_cast<int32_t>(seconds), micros));
    }
    case Object::Kind::Array: {
      if (depth > kMaxPropertyListDepth) {
        problem = "nesting too deep";
        return nullptr;
      }
      Node array(plist_new_array());
      for (const Object& element : *value.array()) {
        Node child = toNode(element, depth + 1, writing);
        if (!child) return nullptr;
        plist_array_append_item(array.get(), child.release());
      }
      return array;
    }
    case Object::Kind::Dictionary: {
      if (depth > kMaxPropertyListDepth) {
        problem = "nesting too deep";
        return nullptr;
      }
      Node dict(plist_new_dict());
      for (const auto& [key, element] : *value.dictionary()) {
        if (hasNul(key)) {
          problem = "key holding NUL";
          return nullptr;
        }
        if (!writing.add(detail::leastXmlSizeOfLeaf(key.size()), depth + 1)) return nullptr;
        Node child = toNode(element, depth + 1, writing);
        if (!child) return nullptr;
        std::string validKey = isValidUtf8(key) ? key : utf16ToUtf8(utf8ToUtf16(key));
        plist_dict_set_item(dict.get(), validKey.c_str(), child.release());
      }
      return dict;
    }
    case Object::Kind::Nil:
      problem = "nil";
      return nullptr;
    case Object::Kind::Null:
      problem = "null marker";
      return nullptr;
    case Object::Kind::Error:
      problem = "error object";
      return nullptr;
  }
  problem = "unknown kind";
  return nullptr;
}

// The XML form of `value`, no larger than the reader accepts.
std::optional<std::string> toXml(const Object& value, Writing& writing) {
  Node root = toNode(value, 1, writing);
  if (!root) return std::nullopt;
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root.get(), &xml, &length);
  if (!xml) {
    writing.problem = "could not be serialized";
    return std::nullopt;
  }
  std::optional<std::string> out;
  if (length <= kMaxPropertyListFileSize) {
    out.emplace(xml, length);
  } else {
    writing.fail();
  }
  plist_to_xml_free(xml);
  return out;
}

// Parses a document that expands in proportion to its size and writes back
// within the file limit, or, when `recovering` (see readSettingsFile), one
// within the wider bounds of a recovery.
Object fromBytes(std::string_view bytes, bool recovering, ErrorRef* error) {
  auto corrupt = [&](const char* why) {
    cocoaFailure(error, kPropertyListReadCorruptError,
                std::string("The data couldn't be read because ") + why + ".");
    return Object();
  };
  if (bytes.empty()) return corrupt("it is empty");
  if (bytes.size() > kMaxPropertyListFileSize) return corrupt("it is too large");
  const size_t maxObjects =
      recovering ? kMaxPropertyListObjects
                 : std::min(kMaxPropertyListObjects, bytes.size() + kMaxPropertyListCopies);
  const uint64_t maxXmlBytes =
      uint64_t{kMaxPropertyListFileSize} * (recovering ? kRecoverableExpansion : 1);
  if (!detail::propertyListWithinBounds(bytes, kMaxPropertyListDepth, maxObjects, maxXmlBytes)) {
    return corrupt("it is nested too deeply, too large once expanded or malformed");
  }
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  if (!root) return corrupt("it isn't in the correct format");
  Node owner(root);
  Object out;
  if (!toObject(root, 1, out)) return corrupt("it isn't in the correct format");
  // What is read must write back into a file that reads again: a value the
  // writer refuses would be kept in memory and every later write of its
  // file would fail.
  Writing writing;
  if (!recovering && !toXml(out, writing)) {
    return corrupt(writing.tooLarge ? "it is too large once expanded"
                                    : "it holds a value that cannot be written back");
  }
  return out;
}

enum class FileBytes { Read, Missing, Unreadable, TooLarge };

// Reads the file's bytes, telling a missing file and a failure to open or
// read it (out of descriptors, an I/O error, not a regular file) from a
// file that is there and read.
FileBytes readBytes(const std::string& path, std::string& bytes, ErrorRef* error) {
  // Non-blocking, so that a FIFO put at the path is refused below instead
  // of holding the caller until a writer comes; a regular file ignores it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    const int code = errno;
    const bool missing = code == ENOENT || code == ENOTDIR;
    cocoaFailure(error, missing ? kFileReadNoSuchFileError : kFileReadUnknownError,
                "The file \"" + path + "\" couldn't be opened: " +
                    std::error_code(code, std::generic_category()).message() + ".");
    return missing ? FileBytes::Missing : FileBytes::Unreadable;
  }
  struct stat info {};
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  if (ok && static_cast<uint64_t>(info.st_size) > kMaxPropertyListFileSize) {
    ::close(fd);
    cocoaFailure(error, kFileReadTooLargeError, "The file \"" + path + "\" is too large.");
    return FileBytes::TooLarge;
  }
  ok = ok && readToEnd(fd, kMaxPropertyListFileSize, bytes);
  ::close(fd);
  if (!ok) {
    cocoaFailure(error, kFileReadUnknownError, "The file \"" + path + "\" couldn't be read.");
    return FileBytes::Unreadable;
  }
  return FileBytes::Read;
}

// The entries of a settings document the reader refused, parsed within the
// bounds of a recovery, without those whose value alone cannot be written
// back (their keys go to `dropped`). Nullopt when it is no such dictionary
// or the rest together still cannot be written.
std::optional<Object::Dictionary> writableEntries(std::string_view bytes,
                                                  std::vector<std::string>& dropped) {
  const Object contents = fromBytes(bytes, true, nullptr);
  const Object::Dictionary* entries = contents.dictionary();
  if (!entries) return std::nullopt;
  Object::Dictionary kept;
  for (const auto& [key, value] : *entries) {
    Writing writing;
    if (toXml(Object(Object::Dictionary{{key, value}}), writing)) {
      kept.emplace(key, value);
    } else {
      dropped.push_back(key);
    }
  }
  Writing writing;
  if (!toXml(Object(kept), writing)) return std::nullopt;
  return kept;
}

}  // namespace

bool isPropertyListObject(const Object& value) {
  Writing writing;
  return toXml(value, writing).has_value();
}

Object propertyListFromBytes(std::string_view bytes, ErrorRef* error) {
  return fromBytes(bytes, false, error);
}

Object readPropertyListFile(const std::string& path, ErrorRef* error) {
  std::string bytes;
  if (readBytes(path, bytes, error) != FileBytes::Read) return Object();
  return fromBytes(bytes, false, error);
}

std::optional<std::string> xmlPropertyList(const Object& value, ErrorRef* error) {
  Writing writing;
  auto xml = toXml(value, writing);
  if (!xml) {
    cocoaFailure(error, kPropertyListWriteInvalidError,
                "Property list invalid for format (" + writing.problem + ").");
  }
  return xml;
}

bool writePropertyListFile(const std::string& path, const Object& value, ErrorRef* error) {
  auto xml = xmlPropertyList(value, error);
  return xml && writeFileAtomically(path, *xml, error);
}

SettingsFile readSettingsFile(const std::string& path) {
  SettingsFile file;
  std::string bytes;
  switch (readBytes(path, bytes, &file.error)) {
    case FileBytes::Missing:
      file.state = SettingsFile::State::Missing;
      return file;
    case FileBytes::Unreadable:
      file.state = SettingsFile::State::Unreadable;
      return file;
    case FileBytes::TooLarge:
      file.state = SettingsFile::State::Damaged;
      return file;
    case FileBytes::Read:
      break;
  }
  const Object contents = fromBytes(bytes, false, &file.error);
  if (const Object::Dictionary* entries = contents.dictionary()) {
    file.state = SettingsFile::State::Read;
    file.entries = *entries;
    file.error.reset();
    return file;
  }
  if (!file.error) {
    file.error = Error::withDescription(kCocoaErrorDomain, kPropertyListReadCorruptError,
                                        "The data couldn't be read because it isn't a dictionary.");
  }
  file.state = SettingsFile::State::Damaged;
  // One value the writer refuses must not cost the other keys.
  if (auto kept = writableEntries(bytes, file.dropped)) {
    file.entries = std::move(*kept);
    file.recovered = true;
  } else {
    file.dropped.clear();
  }
  return file;
}

void removeStaleTemporaryFiles(const std::string& path) {
  // The writes of a file keep their temporary files beside it (paths.h).
  const size_t slash = path.rfind('/');
  const std::string_view file =
      slash == std::string::npos ? path : std::string_view(path).substr(slash + 1);
  if (file.empty()) return;
  const std::string folderPath = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int folder = ::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return;
  removeTemporaryFilesAt(folder, file);
  ::close(folder);
}

}  // namespace platform
