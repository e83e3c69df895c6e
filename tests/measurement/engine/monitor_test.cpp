#include "measurement/engine/monitor.h"

#include <gtest/gtest.h>

#include "measurement/engine/asl_logger.h"
#include "measurement/engine/measurement_errors.h"
#include "platform/log.h"
#include "sdk_core/logger.h"
#include "tests/support/recording_monitor.h"

namespace {

// Restores the process-wide monitor's switches after each test.
class MonitorTest : public ::testing::Test {
 protected:
  void TearDown() override {
    auto monitor = APMMeasurement::monitor();
    monitor->setLogLevel(6);
    monitor->setVerboseLoggingEnabled(false);
    monitor->setDebugModeEnabled(false);
    monitor->clearMonitoringData();
    GULSetLoggerLevel(GULLoggerLevelNotice);
  }
  std::vector<std::string> printed(const std::function<void()>& body) {
    // Lines of earlier tests may still be on their way out.
    APMMeasurement::monitor()->flush();
    platform::LogCapture capture;
    body();
    APMMeasurement::monitor()->flush();
    return capture.nslogLines();
  }
};

TEST_F(MonitorTest, PrintsCodedLinesWithContexts) {
  auto monitor = APMMeasurement::monitor();
  GULSetLoggerLevel(GULLoggerLevelDebug);
  auto lines = printed([&] {
    monitor->logWithLevel(1, 30001, "Method uploadData should execute on background thread");
    monitor->logWithLevel(3, 12, "Two contexts", platform::Object(7), platform::Object("x"));
  });
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0],
            "11.3.0 - <VavIradadovozo>[I-ACS030001] Method uploadData should execute on "
            "background thread");
  EXPECT_EQ(lines[1], "11.3.0 - <VavIradadovozo>[I-ACS000012] Two contexts: 7, x");
}

TEST_F(MonitorTest, LevelsTwoAndFiveAreNeverPrintedButRecorded) {
  auto monitor = APMMeasurement::monitor();
  monitor->setVerboseLoggingEnabled(true);
  GULSetLoggerLevel(GULLoggerLevelDebug);
  auto lines = printed([&] {
    for (long level = 0; level <= 8; ++level) monitor->logWithLevel(level, level, "m");
  });
  // 0, 1, 3, 4, 6, 7, 8 printed.
  EXPECT_EQ(lines.size(), 7u);
  std::vector<long> recorded;
  for (const auto& record : monitor->monitoringData()) recorded.push_back(record.level);
  EXPECT_EQ(recorded, (std::vector<long>{1, 2, 4, 5}));
  monitor->clearMonitoringData();
  EXPECT_TRUE(monitor->monitoringData().empty());
}

TEST_F(MonitorTest, VerboseAndDebugSwitchesRaiseTheBar) {
  auto monitor = APMMeasurement::monitor();
  GULSetLoggerLevel(GULLoggerLevelDebug);
  EXPECT_TRUE(printed([&] { monitor->logWithLevel(7, 1, "debug"); }).empty());
  monitor->setDebugModeEnabled(true);
  EXPECT_EQ(printed([&] { monitor->logWithLevel(7, 1, "debug"); }).size(), 1u);
  EXPECT_TRUE(printed([&] { monitor->logWithLevel(8, 1, "verbose"); }).empty());
  monitor->setVerboseLoggingEnabled(true);
  EXPECT_EQ(printed([&] { monitor->logWithLevel(8, 1, "verbose"); }).size(), 1u);

  // Verbose lines need the verbose switch whatever the level; debug mode
  // prints debug lines even under a lower level.
  monitor->setVerboseLoggingEnabled(false);
  monitor->setDebugModeEnabled(false);
  monitor->setLogLevel(8);
  EXPECT_TRUE(printed([&] { monitor->logWithLevel(8, 1, "verbose"); }).empty());
  EXPECT_EQ(printed([&] { monitor->logWithLevel(7, 1, "debug"); }).size(), 1u);
  monitor->setLogLevel(3);
  EXPECT_TRUE(printed([&] { monitor->logWithLevel(4, 1, "warning"); }).empty());
  monitor->setDebugModeEnabled(true);
  EXPECT_EQ(printed([&] { monitor->logWithLevel(7, 1, "debug"); }).size(), 1u);
}

TEST_F(MonitorTest, ErrorContextsPrintTheirMonitorContext) {
  RecordingMonitor recorder;
  auto monitor = APMMeasurement::monitor();
  monitor->logWithLevel(1, 5, "Failed", platform::Object(apm_errorWithCode(3, "d", "ctx")));
  monitor->logWithLevel(1, 6, "List", APMMonitor::Contexts{platform::Object("a"), platform::Object(2.5)});
  ASSERT_EQ(recorder.codes(), (std::vector<long>{5, 6}));
  EXPECT_EQ(recorder.first(5).text, "Failed: ctx");
  EXPECT_EQ(recorder.first(6).text, "List: a, 2.5");
}

// An ordinary line is kept and printed as it is, contexts and all; one
// past the limit, by its message or by its contexts, is cut at a
// character, with a mark, before it is kept or printed.
TEST_F(MonitorTest, LinesPastTheLimitAreCutBeforeTheyAreKeptOrPrinted) {
  using platform::kMaxLogTextBytes;
  using platform::Object;
  auto monitor = APMMeasurement::monitor();
  monitor->clearMonitoringData();
  const std::string header = "11.3.0 - <VavIradadovozo>[I-ACS024005] ";
  const std::string ordinary = "Event parameter value is too long. Parameter, value";
  const std::string fits(kMaxLogTextBytes, 'f');
  // Three-byte characters, so that the cut falls inside one.
  std::string euros;
  for (int i = 0; i < 5000; ++i) euros += "\u20ac";
  auto lines = printed([&] {
    monitor->logWithLevel(1, 24005, ordinary, Object("currency"), Object(7));
    monitor->logWithLevel(4, 24005, fits);
    monitor->logWithLevel(1, 24005, fits + "g");
    monitor->logWithLevel(1, 24005, "m", Object(euros), Object(euros));
  });
  const auto records = monitor->monitoringData();
  ASSERT_EQ(records.size(), 4u);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(records[0].message, ordinary);
  EXPECT_EQ(records[0].contexts, (APMMonitor::Contexts{Object("currency"), Object(7)}));
  EXPECT_EQ(lines[0], header + ordinary + ": currency, 7");
  EXPECT_TRUE(records[1].message == fits);
  EXPECT_TRUE(lines[1] == header + fits);

  const std::string mark = " [cut: " + std::to_string(kMaxLogTextBytes + 1) + " bytes]";
  EXPECT_TRUE(records[2].message == fits.substr(0, kMaxLogTextBytes - mark.size()) + mark);
  EXPECT_TRUE(lines[2] == header + records[2].message);

  const std::string cut = records[3].message;
  const std::string euroMark = " [cut: " + std::to_string(3 + 2 * euros.size() + 2) + " bytes]";
  EXPECT_TRUE(records[3].contexts.empty());
  EXPECT_LE(cut.size(), kMaxLogTextBytes);
  ASSERT_GT(cut.size(), euroMark.size() + 3);
  const std::string kept = cut.substr(0, cut.size() - euroMark.size());
  EXPECT_EQ(cut.substr(kept.size()), euroMark);
  // Whole characters only, and no more left out than one takes.
  EXPECT_TRUE(kept == ("m: " + euros).substr(0, kept.size()));
  EXPECT_EQ((kept.size() - 3) % 3, 0u);
  EXPECT_GT(kept.size() + 3, kMaxLogTextBytes - euroMark.size());
  EXPECT_TRUE(lines[3] == header + cut);
}

TEST(MeasurementErrorsTest, DomainCodesContextsAndOutParameters) {
  platform::ErrorRef error;
  EXPECT_FALSE(APMReturnOrSetError(false, &error, 2, "Database is not open"));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "com.voraza.vuv.measurement.ErrorDomain");
  EXPECT_EQ(error->code(), 2);
  EXPECT_EQ(error->localizedDescription(), "Database is not open");
  EXPECT_EQ(error->userInfo().count("APMMonitorContext"), 0u);

  error.reset();
  EXPECT_TRUE(APMReturnOrSetError(true, &error, 2, "unused"));
  EXPECT_FALSE(error);
  int* none = nullptr;
  EXPECT_FALSE(APMReturnNonNullOrSetError(none, nullptr, 1, "absent"));  // no out-parameter
  EXPECT_FALSE(APMReturnNonNullOrSetError(0, &error, 1, "zero"));
  EXPECT_EQ(error->localizedDescription(), "zero");

  std::vector<platform::Object> objects{
      platform::Object(apm_errorWithCode(1, "a", "first")), platform::Object("not an error"),
      platform::Object(platform::Error::withDescription("other.domain", 1, "x")),
      platform::Object(apm_errorWithCode(1, "b", "")), platform::Object(apm_errorWithCode(1, "c", "second"))};
  EXPECT_EQ(APMMonitorContextsFromErrors(objects), "first,second");
  EXPECT_EQ(APMMonitorContextsFromErrors({}), "");
}

TEST(ASLLoggerTest, LevelMapping) {
  const GULLoggerLevel expected[] = {GULLoggerLevelError,   GULLoggerLevelError,
                                     GULLoggerLevelError,   GULLoggerLevelWarning,
                                     GULLoggerLevelWarning, GULLoggerLevelWarning,
                                     GULLoggerLevelNotice,  GULLoggerLevelDebug,
                                     GULLoggerLevelDebug};
  for (long level = 0; level <= 8; ++level) {
    EXPECT_EQ(APMASLLogger::GULLoggerLevelFromLogLevel(level), expected[level]) << level;
  }
  EXPECT_EQ(APMASLLogger::GULLoggerLevelFromLogLevel(9), GULLoggerLevelWarning);
  EXPECT_EQ(APMASLLogger::GULLoggerLevelFromLogLevel(-1), GULLoggerLevelWarning);
  EXPECT_EQ(GULAnalyticsMessageCode(30001), "I-ACS030001");
  EXPECT_EQ(GULAnalyticsMessageCode(900002), "I-ACS900002");
}

}  // namespace
