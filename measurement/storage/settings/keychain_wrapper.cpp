#include "measurement/storage/settings/keychain_wrapper.h"

#include <mutex>

#include "platform/text.h"

namespace {

// The first read or write of the process, whatever item it is for, runs the
// repair step with its identifier and app ID.
void repairOnce(const std::string& identifier, const std::string& appID) {
  static std::once_flag repaired;
  std::call_once(repaired, [&] {
    APMKeychainWrapper::migrateKeychainDataToStringWithIdentifier(identifier, appID);
  });
}

}  // namespace

std::optional<std::string> APMKeychainWrapper::keychainValueWithIdentifier(
    const std::string& identifier, const std::string& appID) {
  repairOnce(identifier, appID);
  std::optional<platform::Bytes> data = keychainDataWithIdentifier(identifier, appID);
  if (!data || data->empty()) return std::nullopt;
  std::string text(data->begin(), data->end());
  if (!platform::isValidUtf8(text)) return std::nullopt;
  return text;
}

bool APMKeychainWrapper::upsertKeychainValue(const std::string& value,
                                             const std::string& identifier,
                                             const std::string& appID) {
  std::optional<platform::KeychainQuery> query = searchDirectoryForIdentifier(identifier, appID);
  if (value.empty() || !query) return false;
  repairOnce(identifier, appID);
  const platform::Bytes data(value.begin(), value.end());
  const platform::KeychainItem item{appID, identifier, identifier,
                                    platform::kSecAttrAccessibleAlwaysThisDeviceOnly, data};
  platform::KeychainStatus status = platform::keychainAdd(item);
  // An item already there is updated whatever its value reads as: deciding
  // by the value would try to add again over an item holding an empty or
  // unreadable value, and fail for ever.
  if (status == platform::KeychainStatus::DuplicateItem) {
    query->accessibility = platform::kSecAttrAccessibleAlwaysThisDeviceOnly;
    status = platform::keychainUpdate(*query, data);
  }
  return status == platform::KeychainStatus::Success;
}

void APMKeychainWrapper::deleteKeychainValueWithIdentifier(const std::string& identifier,
                                                           const std::string& appID) {
  if (auto query = searchDirectoryForIdentifier(identifier, appID)) {
    platform::keychainDelete(*query);
  }
}

std::optional<platform::KeychainQuery> APMKeychainWrapper::searchDirectoryForIdentifier(
    const std::string& identifier, const std::string& appID) {
  if (identifier.empty() || appID.empty()) return std::nullopt;
  return platform::KeychainQuery{appID, identifier, identifier, std::nullopt};
}

std::optional<platform::Bytes> APMKeychainWrapper::keychainDataWithIdentifier(
    const std::string& identifier, const std::string& appID) {
  std::optional<platform::KeychainQuery> query = searchDirectoryForIdentifier(identifier, appID);
  platform::KeychainItem item;
  if (!query || platform::keychainCopyMatching(*query, &item) != platform::KeychainStatus::Success) {
    return std::nullopt;
  }
  return std::move(item.data);
}

bool APMKeychainWrapper::isMigrationNeededForIdentifier(const std::string&, const std::string&) {
  return false;
}

void APMKeychainWrapper::migrateKeychainDataToStringWithIdentifier(const std::string& identifier,
                                                                   const std::string& appID) {
  // Nothing to convert (see the header); kept for the order of calls.
  (void)isMigrationNeededForIdentifier(identifier, appID);
}
