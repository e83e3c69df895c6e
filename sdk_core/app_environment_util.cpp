#include "sdk_core/app_environment_util.h"

#include "platform/environment.h"

bool GULAppEnvironmentUtil::isFromAppStore() { return false; }

bool GULAppEnvironmentUtil::isSimulator() { return false; }

bool GULAppEnvironmentUtil::isAppExtension() { return false; }

std::string GULAppEnvironmentUtil::deviceModel() { return platform::systemInfo().machine; }

std::string GULAppEnvironmentUtil::systemVersion() { return platform::systemInfo().release; }
