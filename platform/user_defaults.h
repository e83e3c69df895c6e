// `UserDefaults`: a user-defaults domain (suite): a dictionary of settings
// kept in the property-list file Library/Preferences/<suite>.plist of the app
// container.
//
// One object per suite name is shared within the process (`suite` answers
// the live one), so every caller sees every change at once. The file is read
// on first use and written through, atomically, on every change; a failed
// write keeps the change in memory, and `synchronize` retries it. When the
// container moves (tests point it elsewhere) the suite re-reads from the new
// place. A missing file is an empty domain; a corrupt one reads as an empty
// domain, but for the values that can be written back (see
// readSettingsFile), which keeps the others. A file that exists but cannot
// be opened or read (out of descriptors, an I/O error) is left as it is and
// logged, and read again at the next access: until then reads answer only
// the changes made meanwhile, and those changes wait in memory, never
// written over the file, to be applied to its content once it is read.
// Temporary files that writes killed before their rename left beside the
// file are removed when it is read.
//
// All operations are thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/object.h"

namespace platform {

class UserDefaults {
 public:
  // The suite's shared object; null for an empty name or one holding "/"
  // (a suite names one file).
  static std::shared_ptr<UserDefaults> suite(const std::string& name);
  // The app's own domain, named by the main bundle's identifier.
  static std::shared_ptr<UserDefaults> standard();

  // The suite's file in the current container; empty without a container.
  static std::string pathForSuite(const std::string& name);

  // Removes the suite from the app's preferences: its values are forgotten
  // by the live object, if any, and its file is deleted. YES when nothing
  // of the suite remains.
  static bool removeSuite(const std::string& name, ErrorRef* error = nullptr);

  const std::string& name() const { return name_; }

  // nil when absent.
  Object objectForKey(const std::string& key);
  // Setting nil removes the key. Values must be property-list kinds (see
  // property_list.h); others are refused (NO) and change nothing.
  bool setObject(const Object& value, const std::string& key);
  void removeObjectForKey(const std::string& key);

  // Typed reads with the platform's conversions: a string is read from a
  // string or a number's description; booleans, integers and doubles from
  // numbers or from number texts; the rest only from values of their kind.
  std::optional<std::string> stringForKey(const std::string& key);
  bool boolForKey(const std::string& key);
  int64_t integerForKey(const std::string& key);
  double doubleForKey(const std::string& key);
  std::optional<Bytes> dataForKey(const std::string& key);
  std::optional<Object::Array> arrayForKey(const std::string& key);
  std::optional<Object::Dictionary> dictionaryForKey(const std::string& key);

  // Every key and value of the suite.
  Object::Dictionary dictionaryRepresentation();

  // Writes changes a failed write left in memory. NO with the error when
  // the file still cannot be written.
  bool synchronize(ErrorRef* error = nullptr);

  explicit UserDefaults(std::string name);  // use `suite`

 private:
  // Requires mutex_. Reads the file unless it was read (or found missing)
  // at its current place; reloads when the container moved.
  void loadIfNeeded();
  // Requires mutex_. Writes nothing while the file could not be read.
  bool write(ErrorRef* error);
  void forget();

  const std::string name_;
  std::mutex mutex_;
  std::string loadedPath_;
  // The file was read, or found missing, at loadedPath_: values_ is the
  // domain.
  bool loaded_ = false;
  bool loggedUnreadable_ = false;
  bool dirty_ = false;
  Object::Dictionary values_;
  // While the file cannot be read: the changes made meanwhile, nil for a
  // removal, applied once it is read.
  Object::Dictionary pending_;
};

}  // namespace platform
