// A damaged file salvaged by one process while another is killed, stores
// events, or opens the same file, on real files: nothing readable and
// nothing acknowledged is lost.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <random>
#include <set>

#include "measurement/storage/database/database.h"
#include "tests/measurement/storage/database/damaged_file_support.h"
#include "tests/measurement/storage/database/forked_child_support.h"
#include "tests/support/files.h"
#include "tests/support/temp_container.h"

namespace {

using namespace damaged;

constexpr int kRows = 1200;

// For each database, damaged in two leaves: runs `round(kind, i)` on the
// damaged file, laid anew for each of `rounds` rounds, then checks that
// every readable row was kept.
template <typename Round>
void onDamagedFiles(int rounds, const Round& round) {
  for (const Kind* kind : {&kMeasurement, &kExperiments}) {
    SCOPED_TRACE(kind->name);
    TempContainer container;
    const std::set<std::string> readable = fillAndDamage(*kind, kRows, [](const std::string& path, const auto& leaves) {
      damagePage(path, leaves[leaves.size() / 3]);
      damagePage(path, leaves[leaves.size() * 2 / 3]);
    });
    const std::string damagedBytes = fileText(kind->path());
    for (int i = 0; i < rounds; ++i) {
      SCOPED_TRACE(i);
      std::ofstream(kind->path(), std::ios::binary) << damagedBytes;
      round(*kind, i);
      expectSalvaged(*kind, readable, kRows);
    }
  }
}

// A pipe whose ends close with it.
struct Pipe {
  int ends[2] = {-1, -1};
  Pipe() { EXPECT_EQ(pipe(ends), 0); }
  ~Pipe() {
    for (int end : ends) {
      if (end >= 0) close(end);
    }
  }
  bool send() const { return write(ends[1], "x", 1) == 1; }
  bool receive() const {
    char signal = 0;
    return read(ends[0], &signal, 1) == 1;
  }
};

// Killed at each step of the salvage, and a moment of up to 2 ms after it.
TEST(SalvageProcessesTest, ASalvageKilledAtAnyStepLosesNoReadableRow) {
  const char* const steps[] = {"locked", "scratch made", "copied", "destination locked", "written"};
  std::mt19937 random(7);
  onDamagedFiles(2 * std::size(steps), [&](const Kind& kind, int round) {
    const char* const step = steps[round / 2];
    const bool atStep = round % 2 == 0;
    SCOPED_TRACE(std::string(step) + (atStep ? "" : ", a moment later"));
    APMMeasurement::monitor()->flush();
    Pipe reached, hold;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Tells `reached` when the salvage first reaches the step, then, at
      // it, waits on `hold` (to be killed there).
      silenceMonitorInForkedChild();
      APMSqliteStore::setSalvageObserver([&, seen = false](const char* at) mutable {
        if (seen || std::strcmp(at, step) != 0) return;
        seen = true;
        if (!reached.send()) _exit(5);
        if (atStep && !hold.receive()) _exit(6);
      });
      _exit(kind.open() ? 0 : 3);
    }
    EXPECT_TRUE(reached.receive());
    if (!atStep) usleep(std::uniform_int_distribution<useconds_t>(0, 2000)(random));
    kill(child, SIGKILL);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
  });
}

// A process that held the file open stores one event per commit while
// another salvages it; its commits between the copy and the write make the
// salvage start over, and it goes on storing after it.
TEST(SalvageProcessesTest, EventsStoredDuringASalvageAreKept) {
  TempContainer container;
  const std::string path = kMeasurement.path();
  kMeasurement.fill(kRows);
  APMMeasurement::monitor()->flush();
  // The writer stores one event for each token and answers its number, or
  // -1 when the store failed.
  Pipe tokens, answers;
  const pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    close(tokens.ends[1]);
    silenceMonitorInForkedChild();
    auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
    if (!database) _exit(3);
    const double now = platform::Clock::current()->now();
    for (int64_t sequence = 1'000'000; tokens.receive(); ++sequence) {
      const int64_t answer = database->storeRawEvent(road::event(sequence, now), road::bundle(1), false) ? sequence : -1;
      if (write(answers.ends[1], &answer, sizeof answer) != sizeof answer) _exit(4);
    }
    _exit(0);
  }
  std::set<int64_t> acknowledged;
  auto store = [&] {
    int64_t answer = 0;
    ASSERT_TRUE(tokens.send());
    ASSERT_EQ(read(answers.ends[0], &answer, sizeof answer), static_cast<ssize_t>(sizeof answer));
    if (answer >= 0) acknowledged.insert(answer);
  };
  const auto storeFive = [&] {
    const size_t before = acknowledged.size();
    for (int i = 0; i < 5; ++i) store();
    EXPECT_EQ(acknowledged.size(), before + 5);
  };
  store();
  const std::vector<int64_t> leaves = leafPages(path, kAPMRawEventsTable);
  damagePage(path, leaves[leaves.size() / 2]);
  const std::set<std::string> readable = readByRowid(path, kAPMRawEventsTable, "data", kRows);

  Pipe reached, resume;
  const pid_t salvager = fork();
  ASSERT_GE(salvager, 0);
  if (salvager == 0) {
    silenceMonitorInForkedChild();
    // Answers how many copies it made.
    int copies = 0;
    APMSqliteStore::setSalvageObserver([&](const char* step) {
      if (std::strcmp(step, "copied") != 0 || ++copies > 1) return;
      if (!reached.send() || !resume.receive()) _exit(5);
    });
    _exit(kMeasurement.open() ? 10 + copies : 3);
  }
  // Events stored while the rows are copied, then after the copy: the
  // write would drop those.
  fcntl(reached.ends[0], F_SETFL, O_NONBLOCK);
  int status = 0;
  while (!reached.receive()) {
    ASSERT_EQ(waitpid(salvager, &status, WNOHANG), 0) << "the salvage ended before its copy: " << status;
    store();
  }
  storeFive();
  ASSERT_TRUE(resume.send());
  ASSERT_EQ(waitpid(salvager, &status, 0), salvager);
  // The commits after the first copy were seen, and the rows copied again.
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) >= 12) << status;
  // The writer, idle meanwhile, goes on storing in the salvaged file.
  storeFive();
  close(tokens.ends[1]);
  tokens.ends[1] = -1;
  ASSERT_EQ(waitpid(writer, &status, 0), writer);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  expectSalvaged(kMeasurement, readable, kRows);
  auto database = APMDatabase::initWithDatabaseName(kAPMMeasurementDatabaseName, nullptr);
  ASSERT_TRUE(database);
  const std::set<int64_t> kept = readableRawEvents(*database);
  for (int64_t sequence : acknowledged) EXPECT_TRUE(kept.count(sequence)) << "lost acknowledged event " << sequence;
}

// Two processes find the file damaged at once, as an app and its extension
// starting together.
TEST(SalvageProcessesTest, TwoProcessesOpeningOneDamagedFileLoseNothing) {
  onDamagedFiles(6, [](const Kind& kind, int round) {
    // The second starts 0-2 ms after the first.
    const std::vector<int> codes = runChildrenAtOnce(2, [&](int index) {
      if (index == 1) usleep(static_cast<useconds_t>(round * 400));
      _exit(kind.open() ? 0 : 3);
    });
    EXPECT_EQ(codes, (std::vector<int>{0, 0}));
  });
}

}  // namespace
