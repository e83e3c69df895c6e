#include "measurement/storage/system/info_plist_file_util.h"

#include "platform/bundle.h"
#include "platform/property_list.h"

std::optional<std::string> APMInfoPlistFileUtil::vorazaServiceInfoPlistPath() {
  for (const auto& bundle : {platform::Bundle::main(), platform::Bundle::library()}) {
    if (auto path = bundle->pathForResource("VorazaService-Info", "plist")) return path;
  }
  return std::nullopt;
}

std::optional<platform::Object::Dictionary>
APMInfoPlistFileUtil::dictionaryFromVorazaServiceInfoPlist() {
  auto path = vorazaServiceInfoPlistPath();
  if (!path) return std::nullopt;
  platform::Object contents = platform::readPropertyListFile(*path);
  if (auto dict = contents.dictionary()) return *dict;
  return std::nullopt;
}
