#include "measurement/storage/system/environment_info.h"

#include <cerrno>
#include <cstring>

#include "measurement/engine/monitor.h"
#include "platform/bundle.h"
#include "platform/environment.h"
#include "platform/paths.h"
#include "platform/clock.h"
#include "sdk_core/app_environment_util.h"

std::optional<std::string> APMAEU::appStoreRURL() {
  // No store receipts exist on this platform, whatever the Info key says.
  return std::nullopt;
}

bool APMAEU::isASRS() {
  std::optional<std::string> receipt = appStoreRURL();
  return receipt && receipt->ends_with("/sandboxReceipt");
}

bool APMAEU::isNOD() {
  // The model-name rule ("x86_64" or "i386") would call every PC a
  // simulator here; the environment probe knows better.
  return GULAppEnvironmentUtil::isSimulator();
}

bool APMAEU::isAEX() { return platform::Bundle::main()->bundlePath().ends_with(".appex"); }

bool APMAEU::isFAS() {
  if (isNOD() || isASRS()) return false;
  return platform::fileExists(platform::Bundle::main()->bundlePath() + "/SC_Info");
}

std::string APMAEU::deviceModel() { return GULAppEnvironmentUtil::deviceModel(); }

std::string APMAEU::systemVersion() { return GULAppEnvironmentUtil::systemVersion(); }

std::shared_ptr<UIApplication> APMAEU::sharedApplication() { return nullptr; }

std::shared_ptr<APMEnvironmentInfo> APMEnvironmentInfo::sharedInstance() {
  static const auto shared = std::make_shared<APMEnvironmentInfo>();
  return shared;
}

std::string APMEnvironmentInfo::deviceModel() {
  std::call_once(deviceModelOnce_, [this] {
    deviceModel_ = APMAEU::deviceModel();
    if (deviceModel_.empty()) {
      APMMeasurement::monitor()->logWithLevel(2, 14000, "Failed to get device model",
                                              std::string(std::strerror(errno)));
    }
  });
  return deviceModel_;
}

std::string APMEnvironmentInfo::deviceOSVersion() const {
  return GULAppEnvironmentUtil::systemVersion();
}

std::optional<std::string> APMEnvironmentInfo::userDefaultLanguage() const {
  std::vector<std::string> languages = platform::preferredLanguages();
  if (languages.empty() || languages.front().empty()) {
    APMMeasurement::monitor()->logWithLevel(2, 14001, "Failed to get preferred language");
    return std::nullopt;
  }
  // Language tags are ASCII.
  std::string language = languages.front();
  for (char& c : language) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return language;
}

int32_t APMEnvironmentInfo::timeZoneOffsetMinutesAt(double secondsSince1970) {
  // Offsets are within a day, so the quotient always fits.
  return static_cast<int32_t>(
      static_cast<double>(platform::timeZoneOffsetSeconds(secondsSince1970)) / 60.0);
}

int32_t APMEnvironmentInfo::timeZoneOffsetMinutes() const {
  return timeZoneOffsetMinutesAt(platform::Clock::current()->now());
}
