// Property-list files: the settings, preferences and Info.plist files of the
// system, read from XML or binary form and written as XML.
//
// Mapping to `Object`: dict <-> Dictionary, array <-> Array, string <->
// String, integer <-> Int (or UInt for values above INT64_MAX), real <->
// Double, true/false <-> Bool, data <-> Data, date <-> Date. Nil, the null
// marker and errors cannot be written, nor strings or keys holding NUL.
// Dates are kept to whole seconds by the XML form and must lie within the
// format's range here (about 1933 to 2069); others are refused rather than
// moved, when written and when read.
//
// Reading is bounded: files above kMaxPropertyListFileSize and documents
// nested deeper than kMaxPropertyListDepth or expanding to more objects
// than kMaxPropertyListObjects and kMaxPropertyListCopies allow are refused
// before they are parsed, and text that is not valid UTF-8 is read with
// U+FFFD in its place. Read and write agree: whatever is read can be
// written, and its XML form is within kMaxPropertyListFileSize, so it reads
// back; a document holding a value the writer refuses (a string holding
// NUL, a date out of range) is refused. A binary document whose arrays
// share elements expands when written; one whose XML form would be larger
// is refused, before it is parsed when its least expanded size already is.
// Writing refuses a value whose XML form would be over that size, and is
// atomic, through `writeFileAtomically` (paths.h): a crash leaves either
// the old or the new file, never a mix (a stray temporary file may remain;
// readers never look at it, and its store removes it when it opens: see
// removeStaleTemporaryFiles).
//
// All functions are stateless and may be called from any thread; concurrent
// writers of one path must be serialised by their caller.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/object.h"

namespace platform {

inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr long kFileReadNoSuchFileError = 260;
inline constexpr long kFileReadTooLargeError = 263;
inline constexpr long kFileReadUnknownError = 256;
inline constexpr long kFileWriteUnknownError = 512;
inline constexpr long kPropertyListReadCorruptError = 3840;
inline constexpr long kPropertyListWriteInvalidError = 3851;

inline constexpr size_t kMaxPropertyListFileSize = 8 * 1024 * 1024;
// Objects once expanded: a binary plist may refer to one object many times,
// and the parser copies it at each reference. Beyond one object per byte of
// the document it may expand to kMaxPropertyListCopies more, so that the
// work of reading and writing it back stays in proportion to its size.
inline constexpr size_t kMaxPropertyListObjects = size_t{1} << 20;
inline constexpr size_t kMaxPropertyListCopies = size_t{1} << 12;
// Containers within containers; the top-level object counts as one.
inline constexpr size_t kMaxPropertyListDepth = 128;

// True when `value` can be written as a property list (see above).
bool isPropertyListObject(const Object& value);

// Parses XML or binary property-list bytes. Nil with an error
// (kPropertyListReadCorruptError) when they are not a valid, bounded plist.
Object propertyListFromBytes(std::string_view bytes, ErrorRef* error = nullptr);

// Reads a property-list file. Nil with an error when the file is missing
// (kFileReadNoSuchFileError), too large (kFileReadTooLargeError), cannot be
// opened or read (kFileReadUnknownError) or is not a valid plist.
Object readPropertyListFile(const std::string& path, ErrorRef* error = nullptr);

// The XML form of `value`; nullopt with kPropertyListWriteInvalidError when
// something in it cannot be written or the form would be over
// kMaxPropertyListFileSize (see above).
std::optional<std::string> xmlPropertyList(const Object& value, ErrorRef* error = nullptr);

// Writes `value` as an XML plist to `path` atomically. The folder must exist.
// NO with an error when the value cannot be written or the file system
// fails; the old file is then left as it was.
bool writePropertyListFile(const std::string& path, const Object& value,
                           ErrorRef* error = nullptr);

// How far beyond the file limit the least XML size of a document may go for
// readSettingsFile to recover entries from it.
inline constexpr size_t kRecoverableExpansion = 8;

// A store's file of settings (a top-level dictionary) as readSettingsFile
// found it.
struct SettingsFile {
  enum class State {
    // `entries` holds the file's dictionary.
    Read,
    // There is no file: the store starts empty.
    Missing,
    // The file could not be opened or read (out of descriptors, an I/O
    // error, not a regular file). Its content may be whole: the store must
    // keep it, write nothing over it and read it again later.
    Unreadable,
    // The bytes are no settings dictionary the writer could write back
    // (malformed, beyond the bounds, not a dictionary, or holding values the
    // writer refuses). When `recovered`, `entries` holds the others.
    Damaged,
  };
  State state = State::Missing;
  Object::Dictionary entries;
  // Damaged and recovered: the keys whose value alone cannot be written
  // back (too large once written, a string holding NUL, a date out of
  // range), so one such value does not cost the others.
  std::vector<std::string> dropped;
  bool recovered = false;
  // Why the state is not Read.
  ErrorRef error;
};

// Reads a store's file of settings. A damaged file is parsed a second time
// within kMaxPropertyListDepth, kMaxPropertyListObjects and
// kRecoverableExpansion only (a recovery's work, to be done once) to keep
// the entries that can be written back; it is not recovered when it is no
// dictionary or those entries together still cannot be written.
SettingsFile readSettingsFile(const std::string& path);

// Removes the temporary files that writes of `path` left behind when they
// were killed before their rename; those of writes still running, in this
// process or another, are kept (see removeTemporaryFilesAt, paths.h).
// Failures are ignored; the files are only litter.
void removeStaleTemporaryFiles(const std::string& path);

}  // namespace platform
