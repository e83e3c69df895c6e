// `APMPersistentDictionary`: a settings store kept in one property-list file
// under "Voraza/Measurement" in Application Support, named after the store
// with the extension "plist".
//
// Reads and writes work on the dictionary in memory; a change schedules one
// file write about a second later on the serial queue
// "APMPersistentDictionary", and every change until that write runs shares
// it. The write takes a snapshot under the lock and writes it outside the
// lock, atomically (temporary file, flush, rename), so readers and writers
// never wait for the disk and a crash leaves the old or the new file whole.
// Snapshots are written in the order they were taken. A write that fails is
// logged (43000, then 43006 with the file and the cause) and tried again
// later, with a growing delay; a write still pending when the store is
// released is made at once.
//
// A missing file is an empty store. A file whose content is damaged (it
// does not parse, or is no dictionary that could be written back) is moved
// aside (the file name with ".unreadable" appended) and logged (43005), so
// that the next write does not destroy what might still be recovered; the
// store starts empty, but for the values that can be written back (see
// readSettingsFile): it keeps those, logs the dropped keys (43005) and
// schedules a write of the rest, as the file now lies aside. A file that
// cannot be opened or read (out of descriptors, an I/O error), or a damaged
// one that cannot be moved aside, is no damage: it is left as it is, logged
// once (43005), and read again at the next access. Until then reads answer
// only the changes made meanwhile, and writes fail and are retried as
// above, so nothing is written over the file; once it is read, those
// changes go over its content.
//
// Thread-safe: any thread may call any operation.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "measurement/storage/settings/config_store.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/property_list.h"

class APMPersistentDictionary : public APMConfigStore,
                                public std::enable_shared_from_this<APMPersistentDictionary> {
 public:
  // Runs `block` on the store's queue once `delaySeconds` have passed. The
  // default uses the queue's wall-clock timer; tests pass their own to
  // drive the delay with a manual clock.
  using DelayedRunner = std::function<void(double delaySeconds, platform::DispatchBlock block)>;

  // Delay between a change and the file write it schedules.
  static constexpr double kPersistDelaySeconds = 1.0;
  // Longest delay between retries of a failing write.
  static constexpr double kMaxRetryDelaySeconds = 64.0;

  // Opens the store named `fileName` (".plist" added when missing), creating
  // its folder and removing the temporary files of writes that were killed
  // before their rename. Null for an empty name, without an Application
  // Support folder, or when the folder cannot be created (43004, then 43006
  // with the file and the cause).
  static std::shared_ptr<APMPersistentDictionary> initWithFileName(const std::string& fileName,
                                                                   DelayedRunner runner = {});
  // Writes a pending change at once.
  ~APMPersistentDictionary() override;

  const std::string& filePath() const { return filePath_; }
  bool hasPendingPersistence() const;

  platform::Object objectForKey(const std::string& key) override;
  // Stores a copy; an equal value schedules no write.
  void setObject(const platform::Object& value, const std::string& key) override;
  void clearAllData() override;
  // Writes nothing (the scheduled write keeps the file up to date); false
  // while the last write failed.
  bool synchronize() override;

  // Schedules one write unless one is pending already.
  void schedulePersistToDisk();
  // Writes a snapshot of the content now.
  void persistToDisk();

 private:
  APMPersistentDictionary(std::string filePath, DelayedRunner runner);
  void scheduleLocked(double delaySeconds);
  // Requires mutex_. Reads the file unless it was read (or found missing).
  void loadIfNeeded();
  // Requires mutex_. Moves a damaged file aside; NO when it could not be.
  bool moveAside(const platform::SettingsFile& file);

  const std::string filePath_;
  const std::shared_ptr<platform::DispatchQueue> serialQueue_;
  DelayedRunner runner_;
  mutable std::recursive_mutex mutex_;
  // Once loaded_, the settings; before, the changes made while the file
  // could not be read, nil for a removal.
  platform::Object::Dictionary content_;
  bool loaded_ = false;
  // Before loaded_: every key was cleared meanwhile, the file's too.
  bool cleared_ = false;
  bool loggedUnreadable_ = false;
  bool hasPendingPersistence_ = false;
  // The content differs from the file (a change not yet written, or a
  // write that failed).
  bool dirty_ = false;
  double retryDelaySeconds_ = kPersistDelaySeconds;
  bool lastWriteFailed_ = false;
  // Held from snapshot to rename, so two writes cannot land out of order.
  std::mutex writeMutex_;
};
