// What the SDK logger keeps in memory: the texts of its lines and the lines
// waiting for the logging queue, whatever its callers hand it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "platform/log.h"
#include "sdk_core/logger.h"
#include "tests/support/failing_allocation.h"
#include "tests/support/redirected_standard_error.h"

namespace {

constexpr const char* kSubsystem = "com.voraza.vudaziru.analytics";
constexpr const char* kTag = "<VavIradadovozo>";

TEST(GULLoggerMemoryTest, MessagesPastTheLimitAreCut) {
  GULLoggerFlush();
  platform::LogCapture capture;
  const std::string header = "11.3.0 - <VavIradadovozo>[I-ACS041001] ";
  const std::string message(size_t{1} << 20, 'x');
  GULLogError(kSubsystem, kTag, false, "I-ACS041001", message);
  GULLoggerFlush();
  const std::string mark = " [cut: 1048576 bytes]";
  const std::vector<std::string> lines = capture.nslogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), header.size() + platform::kMaxLogTextBytes);
  EXPECT_EQ(lines[0].rfind(header + "xxx", 0), 0u);
  EXPECT_EQ(lines[0].substr(lines[0].size() - mark.size()), mark);
  EXPECT_EQ(lines[0].find_first_not_of('x', header.size()), lines[0].size() - mark.size());
}

// Standard error is a pipe its reader empties slowly, a page at a time: the
// queue cannot write as fast as lines are logged.
class SlowStandardError {
 public:
  SlowStandardError() {
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    fcntl(ends[1], F_SETPIPE_SZ, 4096);
    redirected_.emplace(ends[1]);
    reader_ = std::thread([in = ends[0]] {
      char page[4096];
      while (read(in, page, sizeof page) > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      close(in);
    });
  }
  ~SlowStandardError() {
    // Ends the pipe: the reader sees its end once every line is through.
    GULLoggerFlush();
    redirected_.reset();
    reader_.join();
  }

 private:
  std::optional<RedirectedStandardError> redirected_;
  std::thread reader_;
};

// Lines logged faster than they can be written once waited, all of them,
// for the queue: a megabyte here, any amount from a caller in a loop.
TEST(GULLoggerMemoryTest, LinesWaitingToBeWrittenHoldABoundedAmount) {
  GULLoggerFlush();
  const std::string message(4000, 'x');
  const SlowStandardError slow;
  const ProcessHeldBytes process;
  for (int i = 0; i < 256; ++i) GULLogError(kSubsystem, kTag, false, "I-ACS041001", message);
  // The lines waiting, and those the queue took to write, up to one line
  // past the bound each, with their places in the lists.
  EXPECT_LE(process.growth(), static_cast<ptrdiff_t>(2 * (kGULMaxPendingLogBytes + 2 * message.size())));
}

}  // namespace
