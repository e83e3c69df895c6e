// Snapshots and experiments in memory: refusals, flag replacement, lookup
// order, copies and the message round trip.
#include "measurement/storage/experiments/snapshot.h"

#include <gtest/gtest.h>

#include "measurement/messages/nano_accessors.h"
#include "platform/clock.h"
#include "tests/measurement/storage/experiments/experiment_test_support.h"
#include "tests/support/recording_monitor.h"

namespace {

using namespace experiments_testing;
using platform::Object;

TEST(ExperimentSnapshot, RefusalsAreLoggedAtLevelTwo) {
  RecordingMonitor monitor;
  EXPECT_EQ(APMEExperiment::initWithExperimentID(Object(), APMEFlags{}), nullptr);
  EXPECT_EQ(APMEExperiment::initWithExperimentID("7", APMEFlags{}), nullptr);
  EXPECT_EQ(APMEExperiment::initWithExperimentID(7, std::nullopt), nullptr);
  EXPECT_EQ(APMEExperiment::initWithExperimentID(7, APMEFlags{nullptr}), nullptr);
  EXPECT_EQ(APMESnapshot::initWithSDKName("", APMEExperiments{}), nullptr);
  EXPECT_EQ(APMESnapshot::initWithSDKName("sdk", std::nullopt), nullptr);
  EXPECT_EQ(APMESnapshot::initWithSDKName("sdk", APMEExperiments{nullptr}), nullptr);
  auto nameless = APMPBFlag::initWithBuffer(nullptr);
  auto kept = APMEExperiment::initWithExperimentID(3, APMEFlags{nameless});
  ASSERT_NE(kept, nullptr);
  EXPECT_TRUE(kept->flags().empty());
  EXPECT_EQ(kept->flagWithName(""), nullptr);
  auto snap = snapshot("sdk", {});
  snap->addFlag(flags({{"f", 1}})[0], Object());
  snap->addFlag(nullptr, 4);
  EXPECT_EQ(monitor.codes(), (std::vector<long>{870000, 870001, 870002, 870003, 840000, 840001,
                                                840002, 870006, 870007, 840003, 840004}));
  for (const RecordedLog& log : monitor.logs()) EXPECT_EQ(log.level, 2) << log.code;
  EXPECT_EQ(monitor.first(840000).message, "Cannot create snapshot with an invalid SDK name");
  EXPECT_EQ(monitor.first(870006).message, "Cannot add a flag without name into an experiment. ID");
}

TEST(ExperimentSnapshot, LaterFlagsAndExperimentsReplaceEarlierOnes) {
  auto exp = APMEExperiment::initWithExperimentID(5, flags({{"f", 1}, {"g", "x"}, {"f", 2}}));
  ASSERT_NE(exp, nullptr);
  EXPECT_EQ(exp->flags().size(), 2u);
  EXPECT_EQ(APMPBFlagValueObject(exp->flagWithName("f").get()), Object(2));

  auto snap = snapshot("sdk", {experiment(5, {{"f", 1}}), experiment(5, {{"h", 3}})});
  ASSERT_NE(snap, nullptr);
  EXPECT_EQ(snap->experimentIDs(), (std::vector<int64_t>{5}));
  EXPECT_EQ(snap->flagByName("f"), nullptr);
  EXPECT_EQ(APMPBFlagValueObject(snap->flagByName("h").get()), Object(3));

  // addFlag makes the experiment when absent and replaces by name otherwise.
  snap->addFlags(flags({{"a", 1}, {"a", 9}}), 8);
  snap->addFlag(flags({{"h", 4}})[0], 5);
  EXPECT_EQ(snap->experimentIDs(), (std::vector<int64_t>{5, 8}));
  EXPECT_EQ(APMPBFlagValueObject(snap->flagByName("a").get()), Object(9));
  EXPECT_EQ(APMPBFlagValueObject(snap->flagByName("h").get()), Object(4));
  // The experiments given at creation were copied: changing the snapshot's
  // experiment leaves the caller's alone.
  auto mine = experiment(1, {{"z", 1}});
  auto other = snapshot("sdk", {mine});
  other->addFlag(flags({{"y", 2}})[0], 1);
  EXPECT_EQ(mine->flags().size(), 1u);
}

TEST(ExperimentSnapshot, CopiesRestartTheClockAndClearTheMark) {
  auto clock = std::make_shared<platform::ManualClock>(1000);
  platform::ScopedCurrentClock scoped(clock);
  auto snap = snapshot("sdk", {experiment(2, {{"f", 1}})});
  EXPECT_EQ(snap->timestamp(), 1000);
  snap->setTimestamp(10);
  snap->setManuallyActivated(true);
  clock->advance(50);
  auto copy = snap->copy();
  EXPECT_EQ(copy->timestamp(), 1050);
  EXPECT_FALSE(copy->manuallyActivated());
  EXPECT_EQ(copy->SDKName(), "sdk");
  EXPECT_EQ(APMPBFlagValueObject(copy->flagByName("f").get()), Object(1));
}

TEST(ExperimentSnapshot, MessageRoundTripKeepsNamesIdsAndFlags) {
  auto snap = snapshot("sdk", {experiment(0, {{"launch", "on"}}), experiment(-3, {{"d", 0.5}})});
  auto message = snap->proto();
  ASSERT_NE(message, nullptr);
  auto bytes = message->protoBuffer();
  ASSERT_TRUE(bytes);
  auto decoded = APMPBSnapshot::initWithBuffer(*bytes);
  auto back = APMESnapshot::initWithProtobuf(decoded.get());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->SDKName(), "sdk");
  EXPECT_EQ(back->experimentIDs(), (std::vector<int64_t>{-3, 0}));
  EXPECT_EQ(APMPBFlagValueObject(back->flagByName("launch").get()), Object("on"));
  EXPECT_EQ(APMPBFlagValueObject(back->flagByName("d").get()), Object(0.5));

  // An empty snapshot still writes its (empty) experiment list; a message
  // without a name makes no snapshot.
  auto empty = snapshot("e", {})->proto();
  EXPECT_TRUE(APMNanoHasField(empty, SnapshotField::experiments));
  EXPECT_EQ(APMESnapshot::initWithProtobuf(APMPBSnapshot::initWithBuffer(nullptr).get()), nullptr);
  EXPECT_EQ(APMESnapshot::initWithProtobuf(nullptr), nullptr);
}

}  // namespace
