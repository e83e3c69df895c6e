// Facts about the machine and the user's settings that the measurement code
// reports: the kernel's `uname` answers, the preferred languages and the
// time-zone offset. All functions read the current state each time (no
// caching) and may be called from any thread.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct SystemInfo {
  std::string sysname;   // "Linux"
  std::string nodename;
  std::string release;   // kernel release
  std::string version;
  std::string machine;   // hardware, as "x86_64"
};

// The `uname` answers; empty fields when the call fails.
SystemInfo systemInfo();

// The user's languages, most preferred first, as BCP 47 tags ("en-US"):
// the colon-separated list in LANGUAGE, then the first of LC_ALL,
// LC_MESSAGES and LANG that is set; codesets and modifiers are dropped,
// "C" and "POSIX" are skipped and duplicates kept once. Never empty: "en"
// when nothing names a language.
std::vector<std::string> preferredLanguages();

// The local time zone's offset from UTC in seconds at `secondsSince1970`
// (daylight saving included), east positive; 0 when unknown.
long timeZoneOffsetSeconds(double secondsSince1970);
// The same for the current time.
long timeZoneOffsetSeconds();

}  // namespace platform
