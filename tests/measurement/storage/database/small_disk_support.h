// A disk of a set size for the suites that fill one: an SQLite VFS over the
// default one whose writes fail with SQLITE_FULL, as a full disk's do, once
// the files it opened (databases, journals, temporary files) would take more
// than its capacity together. It is the default VFS while it lives, so the
// store's own connections use it unchanged; close them before it goes. One
// at a time; a file another process writes is not seen.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <new>
#include <string>

class SmallDisk {
 public:
  explicit SmallDisk(int64_t capacity) : capacity_(capacity) {
    real_ = sqlite3_vfs_find(nullptr);
    vfs_ = *real_;
    vfs_.szOsFile = static_cast<int>(sizeof(File)) + real_->szOsFile;
    vfs_.zName = "small-disk";
    vfs_.pAppData = this;
    vfs_.pNext = nullptr;
    vfs_.xOpen = &SmallDisk::open;
    vfs_.xDelete = &SmallDisk::remove;
    sqlite3_vfs_register(&vfs_, 1);
  }
  ~SmallDisk() {
    sqlite3_vfs_unregister(&vfs_);
    sqlite3_vfs_register(real_, 1);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  void setCapacity(int64_t capacity) {
    std::lock_guard<std::mutex> hold(mutex_);
    capacity_ = capacity;
  }

 private:
  struct File {
    sqlite3_file base;
    SmallDisk* disk;
    sqlite3_file* real;
    // The path, or the address for a file without one; erased on close.
    std::string key;
    bool transient;
  };

  static File* of(sqlite3_file* file) { return reinterpret_cast<File*>(file); }
  static sqlite3_file* realOf(sqlite3_file* file) { return of(file)->real; }

  // Sets the size SmallDisk counts for `key`; SQLITE_FULL, changing
  // nothing, when growing to it would pass the capacity.
  int resize(const std::string& key, int64_t size, bool check) {
    std::lock_guard<std::mutex> hold(mutex_);
    int64_t& counted = sizes_[key];
    const int64_t growth = size - counted;
    if (check && growth > 0 && used_ + growth > capacity_) return SQLITE_FULL;
    used_ += growth;
    counted = size;
    return SQLITE_OK;
  }
  int64_t sizeOf(const std::string& key) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto found = sizes_.find(key);
    return found == sizes_.end() ? 0 : found->second;
  }
  void forget(const std::string& key) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto found = sizes_.find(key);
    if (found == sizes_.end()) return;
    used_ -= found->second;
    sizes_.erase(found);
  }

  static int open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags,
                  int* outFlags) {
    auto* disk = static_cast<SmallDisk*>(vfs->pAppData);
    File* wrapper = of(file);
    wrapper->base.pMethods = nullptr;
    wrapper->real = reinterpret_cast<sqlite3_file*>(wrapper + 1);
    const int result = disk->real_->xOpen(disk->real_, name, wrapper->real, flags, outFlags);
    if (result != SQLITE_OK) return result;
    new (&wrapper->key)
        std::string(name ? name : "temp:" + std::to_string(reinterpret_cast<uintptr_t>(file)));
    wrapper->disk = disk;
    wrapper->transient = !name || (flags & SQLITE_OPEN_DELETEONCLOSE);
    sqlite3_int64 size = 0;
    wrapper->real->pMethods->xFileSize(wrapper->real, &size);
    disk->resize(wrapper->key, size, false);
    wrapper->base.pMethods = &kMethods;
    return SQLITE_OK;
  }
  static int remove(sqlite3_vfs* vfs, const char* name, int syncDir) {
    auto* disk = static_cast<SmallDisk*>(vfs->pAppData);
    const int result = disk->real_->xDelete(disk->real_, name, syncDir);
    if (result == SQLITE_OK) disk->forget(name);
    return result;
  }
  static int close(sqlite3_file* file) {
    File* wrapper = of(file);
    const int result = wrapper->real->pMethods->xClose(wrapper->real);
    if (wrapper->transient) wrapper->disk->forget(wrapper->key);
    wrapper->key.~basic_string();
    return result;
  }
  static int write(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset) {
    File* wrapper = of(file);
    const int64_t end = offset + amount;
    const int64_t before = wrapper->disk->sizeOf(wrapper->key);
    if (end > before && wrapper->disk->resize(wrapper->key, end, true) != SQLITE_OK) {
      return SQLITE_FULL;
    }
    const int result = wrapper->real->pMethods->xWrite(wrapper->real, data, amount, offset);
    if (result != SQLITE_OK && end > before) wrapper->disk->resize(wrapper->key, before, false);
    return result;
  }
  static int truncate(sqlite3_file* file, sqlite3_int64 size) {
    File* wrapper = of(file);
    const int result = wrapper->real->pMethods->xTruncate(wrapper->real, size);
    if (result == SQLITE_OK && size < wrapper->disk->sizeOf(wrapper->key)) {
      wrapper->disk->resize(wrapper->key, size, false);
    }
    return result;
  }
  // Hands a call on to the real file unchanged.
  template <auto Method>
  struct Forward;
  template <typename... Arguments, int (*sqlite3_io_methods::*Method)(sqlite3_file*, Arguments...)>
  struct Forward<Method> {
    static int call(sqlite3_file* file, Arguments... arguments) {
      return (realOf(file)->pMethods->*Method)(realOf(file), arguments...);
    }
  };
  static int fileControl(sqlite3_file* file, int operation, void* argument) {
    // A size hint would grow the file past what is counted.
    if (operation == SQLITE_FCNTL_SIZE_HINT) return SQLITE_NOTFOUND;
    return realOf(file)->pMethods->xFileControl(realOf(file), operation, argument);
  }
  // Version 1: rollback journals only, which is what the store uses.
  static constexpr sqlite3_io_methods kMethods = {
      .iVersion = 1,
      .xClose = &close,
      .xRead = &Forward<&sqlite3_io_methods::xRead>::call,
      .xWrite = &write,
      .xTruncate = &truncate,
      .xSync = &Forward<&sqlite3_io_methods::xSync>::call,
      .xFileSize = &Forward<&sqlite3_io_methods::xFileSize>::call,
      .xLock = &Forward<&sqlite3_io_methods::xLock>::call,
      .xUnlock = &Forward<&sqlite3_io_methods::xUnlock>::call,
      .xCheckReservedLock = &Forward<&sqlite3_io_methods::xCheckReservedLock>::call,
      .xFileControl = &fileControl,
      .xSectorSize = &Forward<&sqlite3_io_methods::xSectorSize>::call,
      .xDeviceCharacteristics = &Forward<&sqlite3_io_methods::xDeviceCharacteristics>::call,
      .xShmMap = nullptr,
      .xShmLock = nullptr,
      .xShmBarrier = nullptr,
      .xShmUnmap = nullptr,
      .xFetch = nullptr,
      .xUnfetch = nullptr,
  };

  sqlite3_vfs* real_ = nullptr;
  sqlite3_vfs vfs_{};
  mutable std::mutex mutex_;
  int64_t capacity_;
  int64_t used_ = 0;
  std::map<std::string, int64_t> sizes_;
};
