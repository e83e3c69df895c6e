#include "sdk_core/app_environment_util.h"

#include <sys/utsname.h>

bool GULAppEnvironmentUtil::isFromAppStore() { return false; }

bool GULAppEnvironmentUtil::isSimulator() { return false; }

bool GULAppEnvironmentUtil::isAppExtension() { return false; }

std::string GULAppEnvironmentUtil::deviceModel() {
  struct utsname names {};
  if (uname(&names) != 0) return {};
  return names.machine;
}

std::string GULAppEnvironmentUtil::systemVersion() {
  struct utsname names {};
  if (uname(&names) != 0) return {};
  return names.release;
}
