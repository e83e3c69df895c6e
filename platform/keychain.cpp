#include "platform/keychain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/crypto.h"
#include "platform/paths.h"
#include "platform/property_list.h"
#include "platform/text.h"

namespace platform {
namespace {

// Every call runs under it, so a check and the write that depends on it are
// never split by another call of this process.
std::mutex keychainMutex;

constexpr const char* kServiceKey = "service";
constexpr const char* kAccountKey = "account";
constexpr const char* kGenericKey = "generic";
constexpr const char* kAccessibilityKey = "accessibility";
constexpr const char* kDataKey = "data";

class Descriptor {
 public:
  Descriptor() = default;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

// What is stored under an item's file name.
enum class Stored { Item, None, Damaged, Refused, Failed };

KeychainStatus statusOf(Stored stored) {
  switch (stored) {
    case Stored::Item:
      return KeychainStatus::Success;
    case Stored::None:
    case Stored::Damaged:
      return KeychainStatus::ItemNotFound;
    case Stored::Refused:
      return KeychainStatus::Refused;
    case Stored::Failed:
      break;
  }
  return KeychainStatus::IOError;
}

// Text that reads back as itself: property lists hold neither NUL nor
// invalid UTF-8.
bool storableText(const std::string& text) {
  return text.find('\0') == std::string::npos && isValidUtf8(text);
}

// The file of the item of `service` and `account`. Any texts map to a fixed
// length name; the length goes first so that no two pairs share one.
std::string itemFileName(const std::string& service, const std::string& account) {
  const Sha256Digest digest = sha256(std::to_string(service.size()) + ":" + service + account);
  return hexString(digest.data(), digest.size()) + ".item";
}

// Opens the keychain folder, making it first when `create` is set. A folder
// that is missing answers ItemNotFound.
KeychainStatus openFolder(bool create, Descriptor& folder) {
  const std::string path = keychainDirectory();
  if (path.empty()) return create ? KeychainStatus::IOError : KeychainStatus::ItemNotFound;
  if (create) {
    const std::string parent = deletingLastPathComponent(path);
    if (!parent.empty() && !createDirectories(parent)) return KeychainStatus::IOError;
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return KeychainStatus::IOError;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return KeychainStatus::ItemNotFound;
    // A link (ELOOP) or something other than a folder (ENOTDIR) in its place.
    return errno == ELOOP || errno == ENOTDIR ? KeychainStatus::Refused : KeychainStatus::IOError;
  }
  folder.reset(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0) return KeychainStatus::IOError;
  if (info.st_uid != ::geteuid()) return KeychainStatus::Refused;
  // mkdir's mode is cut by the umask; the folder must be exactly ours.
  if ((info.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0) return KeychainStatus::IOError;
  // Writes killed before their rename leave the whole item, value included,
  // in a temporary file: every call removes those, so a replaced or deleted
  // value leaves no copy once the next call has run. A write still running,
  // here or in another process, holds its file's lock and keeps it.
  removeTemporaryFilesAt(fd, "");
  return KeychainStatus::Success;
}

const std::string* textField(const Object::Dictionary& fields, const char* key) {
  auto it = fields.find(key);
  return it == fields.end() ? nullptr : it->second.string();
}

Stored readItem(int folder, const std::string& name, const std::string& service,
                const std::string& account, KeychainItem& item) {
  // O_NONBLOCK: a FIFO put in the item's place must not hang the open.
  const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? Stored::None : errno == ELOOP ? Stored::Refused : Stored::Failed;
  Descriptor owner;
  owner.reset(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0) return Stored::Failed;
  if (!S_ISREG(info.st_mode)) return Stored::Refused;
  std::string bytes;
  if (!readToEnd(fd, kMaxKeychainItemSize, bytes)) return Stored::Failed;
  if (bytes.size() > kMaxKeychainItemSize) return Stored::Damaged;
  const Object stored = propertyListFromBytes(bytes);
  const Object::Dictionary* fields = stored.dictionary();
  if (!fields) return Stored::Damaged;
  const std::string* fileService = textField(*fields, kServiceKey);
  const std::string* fileAccount = textField(*fields, kAccountKey);
  const std::string* generic = textField(*fields, kGenericKey);
  const std::string* accessibility = textField(*fields, kAccessibilityKey);
  auto data = fields->find(kDataKey);
  if (!fileService || !fileAccount || !generic || !accessibility || data == fields->end() ||
      !data->second.data() || *fileService != service || *fileAccount != account) {
    return Stored::Damaged;
  }
  item = KeychainItem{*fileService, *fileAccount, *generic, *accessibility, *data->second.data()};
  return Stored::Item;
}

KeychainStatus writeItem(int folder, const std::string& name, const KeychainItem& item,
                         bool replace) {
  if (!storableText(item.genericAttribute) || !storableText(item.accessibility)) {
    return KeychainStatus::InvalidParameter;
  }
  const auto xml = xmlPropertyList(Object(Object::Dictionary{
      {kServiceKey, Object(item.service)},
      {kAccountKey, Object(item.account)},
      {kGenericKey, Object(item.genericAttribute)},
      {kAccessibilityKey, Object(item.accessibility)},
      {kDataKey, Object(item.data)},
  }));
  if (!xml || xml->size() > kMaxKeychainItemSize) return KeychainStatus::InvalidParameter;
  ErrorRef error;
  if (writeFileAtomicallyAt(folder, name, *xml, 0600, replace, &error)) {
    return KeychainStatus::Success;
  }
  return error && error->code() == EEXIST ? KeychainStatus::DuplicateItem
                                          : KeychainStatus::IOError;
}

bool matches(const KeychainItem& item, const KeychainQuery& query) {
  return (!query.genericAttribute || *query.genericAttribute == item.genericAttribute) &&
         (!query.accessibility || *query.accessibility == item.accessibility);
}

// An item's place: the open folder, the file's name and what it holds.
struct Slot {
  Descriptor folder;
  std::string name;
  Stored stored = Stored::None;
  KeychainItem item;
};

// The first steps of every call: checks the names, opens the folder (making
// it when `create` is set) and reads the item's file. Anything but Success
// ends the call.
KeychainStatus openSlot(const std::string& service, const std::string& account, bool create,
                        Slot& slot) {
  if (service.empty() || account.empty() || !storableText(service) || !storableText(account)) {
    return KeychainStatus::InvalidParameter;
  }
  slot.name = itemFileName(service, account);
  KeychainStatus status = openFolder(create, slot.folder);
  if (status == KeychainStatus::Success) {
    slot.stored = readItem(slot.folder.get(), slot.name, service, account, slot.item);
  }
  return status;
}

// `openSlot` for the item `query` names, which must be there and match it.
KeychainStatus openMatching(const KeychainQuery& query, Slot& slot) {
  KeychainStatus status = openSlot(query.service, query.account, false, slot);
  if (status != KeychainStatus::Success) return status;
  if (slot.stored != Stored::Item) return statusOf(slot.stored);
  return matches(slot.item, query) ? KeychainStatus::Success : KeychainStatus::ItemNotFound;
}

}  // namespace

KeychainStatus keychainCopyMatching(const KeychainQuery& query, KeychainItem* found) {
  std::lock_guard lock(keychainMutex);
  Slot slot;
  const KeychainStatus status = openMatching(query, slot);
  if (status == KeychainStatus::Success && found) *found = std::move(slot.item);
  return status;
}

KeychainStatus keychainAdd(const KeychainItem& item) {
  std::lock_guard lock(keychainMutex);
  Slot slot;
  KeychainStatus status = openSlot(item.service, item.account, true, slot);
  if (status != KeychainStatus::Success) return status;
  if (slot.stored == Stored::Item) return KeychainStatus::DuplicateItem;
  if (slot.stored != Stored::None && slot.stored != Stored::Damaged) return statusOf(slot.stored);
  // Only a damaged file is replaced; where there was none, another process
  // adding at the same moment makes this add a duplicate.
  return writeItem(slot.folder.get(), slot.name, item, slot.stored == Stored::Damaged);
}

KeychainStatus keychainUpdate(const KeychainQuery& query, const Bytes& data) {
  std::lock_guard lock(keychainMutex);
  Slot slot;
  const KeychainStatus status = openMatching(query, slot);
  if (status != KeychainStatus::Success) return status;
  slot.item.data = data;
  return writeItem(slot.folder.get(), slot.name, slot.item, true);
}

KeychainStatus keychainDelete(const KeychainQuery& query) {
  std::lock_guard lock(keychainMutex);
  Slot slot;
  const KeychainStatus status = openSlot(query.service, query.account, false, slot);
  if (status != KeychainStatus::Success) return status;
  if (slot.stored == Stored::Item && !matches(slot.item, query)) return KeychainStatus::ItemNotFound;
  if (slot.stored == Stored::Refused || slot.stored == Stored::Failed) return statusOf(slot.stored);
  // Where no item is, a first write killed before its rename left only its
  // temporary file, which opening the folder removed.
  if (slot.stored == Stored::None) return KeychainStatus::ItemNotFound;
  return ::unlinkat(slot.folder.get(), slot.name.c_str(), 0) == 0 ? KeychainStatus::Success
                                                                   : KeychainStatus::IOError;
}

}  // namespace platform
