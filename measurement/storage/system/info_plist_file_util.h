// `APMInfoPlistFileUtil`: finds and reads the app's service configuration
// file "VorazaService-Info.plist". Stateless; any thread.
#pragma once

#include <optional>
#include <string>

#include "platform/object.h"

class APMInfoPlistFileUtil {
 public:
  // The file's path: the resource "VorazaService-Info" of type "plist" in
  // the main bundle, else in the bundle holding this library; nullopt when
  // neither has it.
  static std::optional<std::string> vorazaServiceInfoPlistPath();

  // The file's contents; nullopt without a file or when the file is not a
  // readable dictionary.
  static std::optional<platform::Object::Dictionary> dictionaryFromVorazaServiceInfoPlist();
};
