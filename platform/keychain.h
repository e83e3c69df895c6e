// Keychain items: small secrets kept for the user outside every app
// container, so that they outlive the app's own data (an app whose container
// was removed finds its items again).
//
// Every item is a generic password, identified by its service and account;
// the generic attribute and the accessibility are further attributes a query
// may require. Items live as files in `keychainDirectory()` (paths.h), a
// folder made with mode 0700 on the first write; each item is a small
// property list with mode 0600, written atomically, so a crash leaves the
// old item or the new one. A write killed before its rename leaves the item
// in a temporary file beside it: every call removes those of dead writes
// when it opens the folder, whatever their age, so a replaced or deleted
// value leaves no copy; a write still running (here or in another process)
// holds a lock on its file, which keeps it (paths.h). No symbolic link is
// followed: when the folder itself or an item's file is a link, or the
// folder belongs to another user, every call answers `Refused` and touches
// nothing. A folder of ours with looser permissions is tightened to 0700
// when it is opened. An item file that cannot be read as an item (damaged,
// or of the wrong size) is no item: lookups and updates do not find it, and
// adding the same item replaces it.
//
// Thread-safe: the calls of one process are serialised; between processes
// each write is atomic and the last one stays.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/object.h"

namespace platform {

// The accessibility class of items readable at any time, on this device
// only.
inline constexpr const char* kSecAttrAccessibleAlwaysThisDeviceOnly =
    "accessible-always-this-device-only";

// Bound of one item as stored (attributes and value together); larger items
// are refused on write and treated as damaged on read.
inline constexpr size_t kMaxKeychainItemSize = 64 * 1024;

enum class KeychainStatus {
  Success,
  ItemNotFound,
  DuplicateItem,     // an item of that service and account exists
  InvalidParameter,  // empty service or account, or an item above the bound
  Refused,           // a symbolic link, or a folder of another user
  IOError,           // the file system failed
};

struct KeychainItem {
  std::string service;
  std::string account;
  std::string genericAttribute;
  std::string accessibility;  // empty: the keychain's default
  Bytes data;

  bool operator==(const KeychainItem&) const = default;
};

// The item of `service` and `account`, when it also has the generic
// attribute and accessibility given (unset: any).
struct KeychainQuery {
  std::string service;
  std::string account;
  std::optional<std::string> genericAttribute;
  std::optional<std::string> accessibility;

  bool operator==(const KeychainQuery&) const = default;
};

// Looks the item up; on Success `found`, when given, receives it.
KeychainStatus keychainCopyMatching(const KeychainQuery& query, KeychainItem* found = nullptr);
// Adds a new item; DuplicateItem, changing nothing, when one of that service
// and account is already there.
KeychainStatus keychainAdd(const KeychainItem& item);
// Replaces the value of the item matching `query`, keeping its attributes;
// ItemNotFound when none matches.
KeychainStatus keychainUpdate(const KeychainQuery& query, const Bytes& data);
// Removes the item matching `query`; ItemNotFound when none does. A damaged
// item of that service and account is removed too.
KeychainStatus keychainDelete(const KeychainQuery& query);

}  // namespace platform
