#include "sdk_core/logger.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "tests/support/text_concat.h"

namespace {

constexpr const char* kSubsystem = "com.voraza.vudaziru.analytics";
constexpr const char* kTag = "<VavIradadovozo>";

class GULLoggerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    GULLoggerFlush();
    GULSetForcedDebugMode(false);
    GULSetLoggerLevel(GULLoggerLevelNotice);
  }
  std::vector<std::string> flushedLines() {
    GULLoggerFlush();
    return capture.nslogLines();
  }
  platform::LogCapture capture;
};

}  // namespace

TEST_F(GULLoggerTest, WritesTheCodedLine) {
  GULLogError(kSubsystem, kTag, false, "I-ACS041001", "Failed to read 100% of the file");
  GULLogWarning(kSubsystem, kTag, false, "I-ACS043002", "Second");
  EXPECT_EQ(flushedLines(),
            (std::vector<std::string>{
                "11.3.0 - <VavIradadovozo>[I-ACS041001] Failed to read 100% of the file",
                "11.3.0 - <VavIradadovozo>[I-ACS043002] Second"}));
}

TEST_F(GULLoggerTest, FiltersByLevelUnlessForced) {
  // Starts at notice: info and debug lines are dropped.
  EXPECT_TRUE(GULIsLoggableLevel(GULLoggerLevelNotice));
  EXPECT_FALSE(GULIsLoggableLevel(GULLoggerLevelInfo));
  GULLogNotice(kSubsystem, kTag, false, "I-ACS000001", "notice");
  GULLogInfo(kSubsystem, kTag, false, "I-ACS000002", "info");
  GULLogDebug(kSubsystem, kTag, true, "I-ACS000003", "forced debug");
  GULLogBasic(GULLoggerLevelDebug, kSubsystem, kTag, false, "I-ACS000004", "debug");
  EXPECT_EQ(flushedLines(), (std::vector<std::string>{"11.3.0 - <VavIradadovozo>[I-ACS000001] notice",
                                                      "11.3.0 - <VavIradadovozo>[I-ACS000003] forced debug"}));

  capture.clear();
  GULSetLoggerLevel(GULLoggerLevelError);
  GULSetLoggerLevel(static_cast<GULLoggerLevel>(9));  // ignored
  EXPECT_FALSE(GULIsLoggableLevel(GULLoggerLevelWarning));
  GULLogWarning(kSubsystem, kTag, false, "I-ACS000005", "warning");
  GULLogError(kSubsystem, kTag, false, "I-ACS000006", "error");
  EXPECT_EQ(flushedLines(), (std::vector<std::string>{"11.3.0 - <VavIradadovozo>[I-ACS000006] error"}));

  capture.clear();
  GULSetForcedDebugMode(true);
  EXPECT_TRUE(GULIsLoggableLevel(GULLoggerLevelDebug));
  GULLogDebug(kSubsystem, kTag, false, "I-ACS000007", "debug in forced mode");
  EXPECT_EQ(flushedLines(),
            (std::vector<std::string>{"11.3.0 - <VavIradadovozo>[I-ACS000007] debug in forced mode"}));
}

TEST_F(GULLoggerTest, KeepsEachThreadsOrderAndLosesNoLine) {
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        GULLogError(kSubsystem, concat({"t", std::to_string(t)}), false, "I-ACS000001", std::to_string(i));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<std::string> lines = flushedLines();
  ASSERT_EQ(lines.size(), size_t{kThreads * kLines});
  std::vector<int> next(kThreads, 0);
  for (const std::string& line : lines) {
    // "11.3.0 - t<thread>[I-ACS000001] <index>"
    int thread = line[10] - '0';
    ASSERT_GE(thread, 0);
    ASSERT_LT(thread, kThreads);
    EXPECT_EQ(line.substr(line.find("] ") + 2), std::to_string(next[thread]++));
  }
}
