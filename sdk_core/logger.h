// The SDK logger: coded lines "<SDK version> - <category>[<message code>] <text>"
// written to the system log (our stand-in: platform::nslog).
//
// Levels are 3 error, 4 warning, 5 notice, 6 info, 7 debug; the logger starts
// at 5. A line above the current level is dropped unless it is forced or the
// forced debug mode is on. Lines are written asynchronously, in call order,
// on the serial queue "GULLoggingClientQueue"; `GULLoggerFlush` writes what
// is still pending on the calling thread, and so does a normal exit (return
// from main, `exit`): no line logged before it is lost. From then on, and in
// a forked child (which has no pool threads), each line is written by the
// thread that logs it. Every function may be called from any thread and
// never fails.
//
// A message longer than `platform::kMaxLogTextBytes` is cut, with a mark
// saying so (platform/log.h). The lines waiting for the queue hold at most
// `kGULMaxPendingLogBytes`: a caller that finds more waiting writes them on
// its own thread before it returns, in order, so that no caller can make
// them take more.
#pragma once

#include <cstddef>
#include <string>

// Sixteen lines at their longest, hundreds of ordinary ones: lines logged
// faster than the queue writes them cost their writer the time, not the
// process its memory.
inline constexpr size_t kGULMaxPendingLogBytes = size_t{64} << 10;

enum GULLoggerLevel : int {
  GULLoggerLevelError = 3,
  GULLoggerLevelWarning = 4,
  GULLoggerLevelNotice = 5,
  GULLoggerLevelInfo = 6,
  GULLoggerLevelDebug = 7,
};

// The SDK version printed at the start of every line.
inline constexpr const char* kGULSDKVersion = "11.3.0";

// The measurement components write under this subsystem and tag, with
// message codes made by `GULAnalyticsMessageCode`.
inline constexpr const char* kGULAnalyticsSubsystem = "com.voraza.vudaziru.analytics";
inline constexpr const char* kGULAnalyticsLogTag = "<VavIradadovozo>";
// "I-ACS" followed by the code in six digits ("I-ACS030001").
std::string GULAnalyticsMessageCode(long code);

// Sets the level shared by every SDK library; a value outside 3-7 is ignored.
void GULSetLoggerLevel(GULLoggerLevel level);
// True when a line of `level` would be written without being forced.
bool GULIsLoggableLevel(GULLoggerLevel level);
// Forced debug mode writes every line whatever its level.
void GULSetForcedDebugMode(bool enabled);

// The core function: `message` is the finished text (no format arguments,
// so a "%" in it is printed as it stands). `subsystem` names the writer to
// the system log and does not appear in the line.
void GULLogBasic(GULLoggerLevel level, const std::string& subsystem, const std::string& category,
                 bool forceLog, const std::string& messageCode, const std::string& message);

void GULLogError(const std::string& subsystem, const std::string& category, bool forceLog,
                 const std::string& messageCode, const std::string& message);
void GULLogWarning(const std::string& subsystem, const std::string& category, bool forceLog,
                   const std::string& messageCode, const std::string& message);
void GULLogNotice(const std::string& subsystem, const std::string& category, bool forceLog,
                  const std::string& messageCode, const std::string& message);
void GULLogInfo(const std::string& subsystem, const std::string& category, bool forceLog,
                const std::string& messageCode, const std::string& message);
void GULLogDebug(const std::string& subsystem, const std::string& category, bool forceLog,
                 const std::string& messageCode, const std::string& message);

// Returns once every line logged so far has been written.
void GULLoggerFlush();
