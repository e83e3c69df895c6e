#include <gtest/gtest.h>

#include <ctime>

#include "platform/clock.h"

namespace platform {
namespace {

TEST(ClockTest, SystemClockTellsTheTimeOfDay) {
  double before = static_cast<double>(std::time(nullptr));
  double now = Clock::system()->now();
  EXPECT_GE(now, before);
  EXPECT_LT(now, before + 5);
  EXPECT_EQ(Clock::current(), Clock::system());
}

TEST(ClockTest, ManualClockMovesOnlyWhenTold) {
  ManualClock clock(1000.5);
  EXPECT_EQ(clock.now(), 1000.5);
  clock.advance(0.25);
  EXPECT_EQ(clock.now(), 1000.75);
  clock.advance(-2);
  EXPECT_EQ(clock.now(), 998.75);
  clock.set(7);
  EXPECT_EQ(clock.now(), 7);
}

TEST(ClockTest, CurrentClockCanBeReplacedAndRestored) {
  auto manual = std::make_shared<ManualClock>(42);
  {
    ScopedCurrentClock scoped(manual);
    EXPECT_EQ(Clock::current()->now(), 42);
    auto inner = std::make_shared<ManualClock>(1);
    {
      ScopedCurrentClock nested(inner);
      EXPECT_EQ(Clock::current(), inner);
    }
    EXPECT_EQ(Clock::current(), manual);
    Clock::setCurrent(nullptr);
    EXPECT_EQ(Clock::current(), Clock::system());
  }
  EXPECT_EQ(Clock::current(), Clock::system());
}

}  // namespace
}  // namespace platform
