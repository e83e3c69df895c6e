// A process storing events and bundling them is killed at random moments;
// after every kill the file must be sound and hold each event it reported
// stored exactly once, as a raw event or inside a readable queued bundle.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>
#include <set>

#include "measurement/engine/monitor.h"
#include "measurement/storage/database/database.h"
#include "measurement/storage/system/file_paths.h"
#include "platform/clock.h"
#include "tests/measurement/storage/database/bundling_support.h"
#include "tests/measurement/storage/database/forked_child_support.h"
#include "tests/support/temp_container.h"

namespace {

constexpr int kRounds = 200;
constexpr int64_t kSequencesPerRound = 1'000'000;
constexpr int kEventsPerBundle = 8;

// In the child: stores events without end, reporting each sequence number
// once its store call has returned.
[[noreturn]] void runWriter(int64_t firstSequence, int report) {
  silenceMonitorInForkedChild();
  auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
  if (!database) _exit(3);
  // A killed process leaves its writes to the system; waiting for the disk
  // would only slow the rounds down.
  database->sqliteStore()->executeSQL("PRAGMA synchronous = OFF");
  const double now = platform::Clock::current()->now();
  for (int64_t sequence = firstSequence;; ++sequence) {
    // Two metadata bundles in turn, so that bundling leaves some behind.
    auto metadata = road::bundle(1 + sequence % 2);
    if (!database->storeRawEvent(road::event(sequence, now), metadata, false)) _exit(4);
    if (write(report, &sequence, sizeof sequence) != sizeof sequence) _exit(5);
    if (sequence % kEventsPerBundle == 0 && !road::bundleOldest(*database)) _exit(6);
  }
}

std::string integrityOf(const std::string& path) {
  sqlite3* handle = nullptr;
  std::string answer = "cannot open";
  if (sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(handle, "PRAGMA integrity_check", -1, &statement, nullptr);
    answer = sqlite3_step(statement) == SQLITE_ROW
                 ? reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))
                 : sqlite3_errmsg(handle);
    sqlite3_finalize(statement);
  }
  sqlite3_close(handle);
  return answer;
}

TEST(RawEventsKillTest, EveryReportedEventSurvivesExactlyOnce) {
  TempContainer container;
  const std::string path = APMApplicationSupportFilePath(kAPMMeasurementDatabaseName);
  APMMeasurement::monitor()->flush();
  std::mt19937 random(15);
  std::set<int64_t> reported;
  int64_t reports = 0;
  for (int round = 1; round <= kRounds; ++round) {
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(report[0]);
      runWriter(round * kSequencesPerRound, report[1]);
    }
    close(report[1]);
    // Killed once it is writing: at once, or a moment of up to 3 ms later.
    int64_t sequence = 0;
    ssize_t got = read(report[0], &sequence, sizeof sequence);
    if (got == sizeof sequence) {
      reported.insert(sequence);
      ++reports;
    }
    std::uniform_int_distribution<int> delay(0, 3000);
    if (round % 4 != 0) usleep(delay(random));
    kill(child, SIGKILL);
    while (read(report[0], &sequence, sizeof sequence) == sizeof sequence) {
      reported.insert(sequence);
      ++reports;
    }
    close(report[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "round " << round << ": the writer stopped on its own, "
                                     << (WIFEXITED(status) ? WEXITSTATUS(status) : -1);

    ASSERT_EQ(integrityOf(path), "ok") << "round " << round;
    auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
    ASSERT_TRUE(database) << "round " << round;
    database->sqliteStore()->executeSQL("PRAGMA synchronous = OFF");
    std::map<int64_t, int> stored = road::storedSequences(*database);
    for (const auto& [storedSequence, times] : stored) {
      ASSERT_EQ(times, 1) << "round " << round << ": event " << storedSequence << " stored " << times
                          << " times";
    }
    for (int64_t expected : reported) {
      ASSERT_TRUE(stored.count(expected)) << "round " << round << ": lost event " << expected;
    }
    // Uploaded: the queue empties, and what it held is checked no more.
    auto bundles = database->queryBundlesWithCountLimit(1'000'000, int64_t{1} << 40);
    std::vector<int64_t> rowIDs;
    for (const APMQueuedBundle& bundle : bundles.value_or(std::vector<APMQueuedBundle>{})) {
      rowIDs.push_back(bundle.rowID);
      for (int64_t uploaded : road::sequencesIn(*bundle.bundle)) reported.erase(uploaded);
    }
    if (!rowIDs.empty()) {
      ASSERT_TRUE(database->deleteBundlesWithRowIDs(rowIDs));
    }
  }
  // Every kill met a writer at work (each had reported an event); how many
  // more it stored depends on the machine's load, so it is only shown.
  std::printf("%lld events reported stored in %d rounds\n", static_cast<long long>(reports), kRounds);
}

}  // namespace
