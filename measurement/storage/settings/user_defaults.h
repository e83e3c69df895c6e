// `APMUserDefaults`: a settings store over one of the platform's
// user-defaults suites (Library/Preferences/<suite>.plist).
//
// The suite named at creation is used for every call; without a name (or
// with an empty one) the app's own domain is. Values are kept by the
// preferences system at once: there is no equality check and no delayed
// write. `synchronize` also excludes the suite's file from backup, once per
// instance.
//
// Besides the shared instance, the engine's components open the suites
// "APMAnalyticsSuiteName", "APMExperimentSuiteName",
// "com.voraza.vuv.measurement.monitor" and
// "com.voraza.vuv.measurement.tcf.userdefaults".
//
// Thread-safe: any thread may call any operation.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "measurement/storage/settings/config_store.h"
#include "platform/user_defaults.h"

class APMUserDefaults : public APMConfigStore {
 public:
  // The one instance over the app's own domain; its file needs no exclusion.
  static std::shared_ptr<APMUserDefaults> sharedUserDefaults();

  // init: the app's own domain.
  APMUserDefaults() : APMUserDefaults(std::nullopt) {}
  // initWithSuiteName:
  explicit APMUserDefaults(std::optional<std::string> suiteName);

  const std::optional<std::string>& suiteName() const { return suiteName_; }
  // The domain every call uses.
  const std::string& appNameRef() const;
  bool isPreferenceFileExcluded() const;
  void setPreferenceFileExcluded(bool excluded);

  platform::Object objectForKey(const std::string& key) override;
  void setObject(const platform::Object& value, const std::string& key) override;
  // Removes every key of the domain.
  void clearAllData() override;
  // Writes the domain's file, then excludes it from backup unless done
  // before (41000 when that fails; tried again next time). False when the
  // file cannot be written: 41004, then 41005 with the file and the cause.
  bool synchronize() override;

 private:
  std::shared_ptr<platform::UserDefaults> domain() const;

  const std::optional<std::string> suiteName_;
  const std::shared_ptr<platform::UserDefaults> domain_;
  mutable std::mutex mutex_;
  bool isPreferenceFileExcluded_ = false;
};
