#include "platform/environment.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string_view>

#include "platform/numbers.h"

namespace platform {
namespace {

// "en_US.UTF-8@euro" -> "en-US"; empty for the portable locales.
std::string languageTag(std::string_view locale) {
  locale = locale.substr(0, locale.find_first_of(".@"));
  if (locale.empty() || locale == "C" || locale == "POSIX") return {};
  std::string tag(locale);
  std::replace(tag.begin(), tag.end(), '_', '-');
  return tag;
}

void addLanguage(std::vector<std::string>& out, std::string_view locale) {
  std::string tag = languageTag(locale);
  if (!tag.empty() && std::find(out.begin(), out.end(), tag) == out.end()) {
    out.push_back(std::move(tag));
  }
}

}  // namespace

SystemInfo systemInfo() {
  struct utsname names {};
  if (uname(&names) != 0) return {};
  return {names.sysname, names.nodename, names.release, names.version, names.machine};
}

std::vector<std::string> preferredLanguages() {
  std::vector<std::string> out;
  if (const char* list = std::getenv("LANGUAGE")) {
    std::string_view rest(list);
    while (!rest.empty()) {
      size_t colon = rest.find(':');
      addLanguage(out, rest.substr(0, colon));
      rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) {
      addLanguage(out, value);
      break;
    }
  }
  if (out.empty()) out.push_back("en");
  return out;
}

long timeZoneOffsetSeconds(double secondsSince1970) {
  const time_t when = saturatingCast<time_t>(secondsSince1970);
  struct tm local {};
  tzset();
  if (!localtime_r(&when, &local)) return 0;
  return local.tm_gmtoff;
}

long timeZoneOffsetSeconds() { return timeZoneOffsetSeconds(static_cast<double>(std::time(nullptr))); }

}  // namespace platform
