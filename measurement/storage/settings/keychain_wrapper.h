// `APMKeychainWrapper`: short string values kept in the user's keychain
// (platform/keychain.h), one item per identifier and app ID, so that they
// survive the removal of the app's data. The engine keeps the previous
// first-open count there under the identifier "_pfo".
//
// Each item is a generic password whose service is the app ID and whose
// account and generic attribute are the identifier; its value is the
// string's UTF-8 bytes, readable at any time on this device only.
//
// Class operations only. Thread-safe: the keychain serialises its calls and
// the wrapper's one state is the once-only guard of the repair step.
#pragma once

#include <optional>
#include <string>

#include "platform/keychain.h"
#include "platform/object.h"

class APMKeychainWrapper {
 public:
  APMKeychainWrapper() = delete;

  // The stored string; nil when there is no item, its value is empty or not
  // UTF-8, or the keychain fails. The first read or write of the process
  // first runs the repair step with its identifier and app ID.
  static std::optional<std::string> keychainValueWithIdentifier(const std::string& identifier,
                                                                const std::string& appID);

  // Adds the item, or replaces the value of the one already there (even
  // when that one's value is empty or unreadable). NO for an empty value,
  // identifier or app ID, which change nothing, and when the keychain
  // fails.
  static bool upsertKeychainValue(const std::string& value, const std::string& identifier,
                                  const std::string& appID);

  // Removes the item; failures are ignored. An empty identifier or app ID
  // does nothing.
  static void deleteKeychainValueWithIdentifier(const std::string& identifier,
                                                const std::string& appID);

  // The query of the item (service, generic attribute and account); nil
  // when the identifier or the app ID is empty.
  static std::optional<platform::KeychainQuery> searchDirectoryForIdentifier(
      const std::string& identifier, const std::string& appID);

  // The raw value bytes; nil when there is no such item.
  static std::optional<platform::Bytes> keychainDataWithIdentifier(const std::string& identifier,
                                                                   const std::string& appID);

  // The repair of items whose account or generic attribute is not a string.
  // This keychain keeps those attributes as strings only, so no item ever
  // needs it: the check answers NO and the repair changes nothing. The
  // once-per-process call of the repair by the first read stays.
  static bool isMigrationNeededForIdentifier(const std::string& identifier,
                                             const std::string& appID);
  static void migrateKeychainDataToStringWithIdentifier(const std::string& identifier,
                                                        const std::string& appID);
};
