#include "measurement/storage/system/app_state.h"

#include <cstdlib>

#include "platform/bundle.h"
#include "platform/text.h"

bool APMIsPrewarmLaunch() {
  const char* value = std::getenv("ActivePrewarm");
  return value != nullptr && platform::textBoolValue(value);
}

bool APMHasSceneManifest() {
  return platform::Bundle::main()->infoDictionary().contains("UIApplicationSceneManifest");
}
