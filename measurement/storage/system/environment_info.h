// Facts about the device and the installation, for the metadata of stored
// events, the experiment request and the reporters.
//
// `APMAEU` (app environment utilities) answers how the app was installed
// and what it runs on; `APMEnvironmentInfo` answers the device model, OS
// version, preferred language and time-zone offset. On this platform the
// device model and OS version are the kernel's `uname` answers (machine and
// release), the languages come from the locale variables (LANGUAGE, LC_ALL,
// LC_MESSAGES, LANG) and the offset from the local time zone (TZ).
//
// Everything may be called from any thread; the device model is computed
// once per process, the rest at each call.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// The application object of the platform's app frameworks; no such object
// exists on this platform, so it is only ever named, never made.
class UIApplication;

class APMAEU {
 public:
  APMAEU() = delete;

  // The App Store receipt of the main bundle; this platform has none, and
  // the Info key "VudaziruAppStoreReceiptURLCheckEnabled" set to false also
  // answers none.
  static std::optional<std::string> appStoreRURL();
  // Installed from the App Store: never on a simulator or with a sandbox
  // receipt; otherwise when the bundle holds an "SC_Info" entry (an
  // executable is never encrypted here).
  static bool isFAS();
  // The receipt's last path component is "sandboxReceipt".
  static bool isASRS();
  // Running on a simulator.
  static bool isNOD();
  // The main bundle's path ends with ".appex".
  static bool isAEX();
  static std::string deviceModel();
  static std::string systemVersion();
  // The shared application object, none inside an app extension; here
  // always none, as nothing runs under an application object.
  static std::shared_ptr<UIApplication> sharedApplication();
};

class APMEnvironmentInfo {
 public:
  static std::shared_ptr<APMEnvironmentInfo> sharedInstance();

  // Taken once; an empty model logs 14000 "Failed to get device model" with
  // the C library's last error text.
  std::string deviceModel();
  std::string deviceOSVersion() const;
  // The first preferred language, lower-cased; nullopt (and 14001 "Failed
  // to get preferred language") when there is none.
  std::optional<std::string> userDefaultLanguage() const;
  // The local time zone's current offset from UTC in minutes, truncated
  // toward zero, east positive.
  int32_t timeZoneOffsetMinutes() const;

  // The same offset at any instant (seconds since 1970).
  static int32_t timeZoneOffsetMinutesAt(double secondsSince1970);

 private:
  std::once_flag deviceModelOnce_;
  std::string deviceModel_;
};
