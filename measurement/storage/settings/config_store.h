// `APMConfigStore`: the typed key/value interface of the persisted settings,
// and the logging shared by its two stores.
//
// Keys are non-empty strings. A stored value is one of the property-list
// kinds: string, number, array, dictionary, date or data. Typed reads answer
// the stored value only when it has the asked kind (nullopt, nil, 0 or false
// otherwise); typed writes box the value as a number and store it through
// `setObject`; setting nil removes the key.
//
// Implementations are thread-safe: any thread may call any operation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/object.h"

class APMConfigStore {
 public:
  virtual ~APMConfigStore() = default;

  // The stored object, nil when absent or when the key is refused.
  virtual platform::Object objectForKey(const std::string& key) = 0;
  virtual std::optional<platform::Object::Array> arrayForKey(const std::string& key);
  virtual std::optional<platform::Object::Dictionary> dictionaryForKey(const std::string& key);
  virtual std::optional<std::string> stringForKey(const std::string& key);
  // The stored number, nil when absent or of another kind.
  virtual platform::Object numberForKey(const std::string& key);
  virtual int64_t integerForKey(const std::string& key);
  virtual float floatForKey(const std::string& key);
  virtual double doubleForKey(const std::string& key);
  virtual bool boolForKey(const std::string& key);

  // Stores `value` under `key`; nil removes the key. Refused (with a
  // warning, nothing changed) for an empty key or a value that is not a
  // property-list kind.
  virtual void setObject(const platform::Object& value, const std::string& key) = 0;
  virtual void setFloat(float value, const std::string& key);
  virtual void setDouble(double value, const std::string& key);
  virtual void setInteger(int64_t value, const std::string& key);
  virtual void setBool(bool value, const std::string& key);
  virtual void removeObjectForKey(const std::string& key);
  // Removes every key.
  virtual void clearAllData() = 0;
  // Asks the store to bring its file up to date. False when the file
  // cannot be written: the values stay in memory, and the file's path and
  // the reason are logged.
  virtual bool synchronize() = 0;
};

// Whether `value` can be kept in a property-list file: a string, number,
// date or data, or an array or dictionary made only of such values. A nested
// value that cannot be written would make every later write of the whole
// file fail, so containers are checked to the bottom.
bool APMIsPropertyListValue(const platform::Object& value);

// One line through the SDK logger with the settings stores' subsystem
// "com.voraza.vudaziru.analytics", tag "<VavIradadovozo>" and message code
// "I-ACS%06ld".
void APMConfigStoreLogError(long code, const std::string& message);
void APMConfigStoreLogWarning(long code, const std::string& message);
// The line that follows a store's failed write, naming the file and the
// cause: "Cannot write the settings file <path>: <reason>".
void APMConfigStoreLogWriteFailure(long code, const std::string& path,
                                   const platform::ErrorRef& error);
