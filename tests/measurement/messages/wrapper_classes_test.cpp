#include "measurement/messages/message_wrappers.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/messages/nano_memory.h"
#include "platform/log.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

using platform::Bytes;

template <class Wrapper>
void checkWrapper(const char* name) {
  SCOPED_TRACE(name);
  auto empty = Wrapper::initWithBuffer(nullptr);
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty->messageID(), name);
  ASSERT_NE(empty->messageInfo(), nullptr);
  EXPECT_STREQ(empty->messageInfo()->name, name);
  ASSERT_TRUE(empty->protoBuffer().has_value());
  EXPECT_TRUE(empty->protoBuffer()->empty());

  auto fromNothing = Wrapper::initWithMessageInfo(nullptr);
  ASSERT_NE(fromNothing, nullptr);
  EXPECT_NE(fromNothing->messageInfo(), empty->messageInfo());

  // The routines the accessors reach work on records of this message.
  auto* record = static_cast<MessageInfo*>(calloc(1, sizeof(MessageInfo)));
  ASSERT_EQ(empty->initMessageInfoFn()(record), 1);
  MessageInfo* copy = nullptr;
  ASSERT_EQ(empty->copyMessageInfoFn()(&copy, record), 1);
  EXPECT_EQ(empty->deallocMessageFieldFn()(copy, 0), 1);
  Wrapper::kRoutines.freeMessageInfo(record);
  Wrapper::kRoutines.freeMessageInfo(copy);
}

TEST(WrapperClasses, EveryClassMakesEmptyMessages) {
#define APM_CHECK_WRAPPER(message, count, wrapper, decode, encode)                                 \
  APM_WHEN_##wrapper(checkWrapper<APMPB##message>(#message);)
  APM_MESSAGE_LIST(APM_CHECK_WRAPPER)
#undef APM_CHECK_WRAPPER
}

TEST(WrapperClasses, RecordsAreCopiedAndChecked) {
  const Bytes wire{0x0a, 0x03, 'a', 'b', 'c', 0x10, 0x2a}; // Flag name "abc", int_value 42
  auto flag = APMPBFlag::initWithBuffer(wire);
  ASSERT_NE(flag, nullptr);
  EXPECT_EQ(flag->protoBuffer(), wire);

  // Another message's record is refused.
  EXPECT_EQ(APMPBAudience::initWithMessageInfo(flag->messageInfo()), nullptr);

  // The given record is copied: later changes to it do not show.
  auto copy = APMPBFlag::initWithMessageInfo(flag->messageInfo());
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy->messageInfo(), flag->messageInfo());
  EXPECT_EQ(flag->deallocMessageFieldFn()(flag->messageInfo(), 0), 1);
  EXPECT_EQ(copy->protoBuffer(), wire);
  EXPECT_EQ(flag->protoBuffer(), (Bytes{0x10, 0x2a}));

  // Undecodable bytes give no instance (the decoder prints why).
  platform::LogCapture capture;
  EXPECT_EQ(APMPBFlag::initWithBuffer(Bytes{0x0a, 0x05, 'a'}), nullptr);
  EXPECT_EQ(capture.stdoutText(), "<ERROR> Flag decoder failed: parent stream too short\n");
}

TEST(WrapperClasses, FieldMessageNames) {
  auto bundle = APMPBMeasurementBundle::initWithBuffer(nullptr);
  EXPECT_STREQ(bundle->fieldMessageName(1), "Event");
  EXPECT_STREQ(bundle->fieldMessageName(52), "AdCampaignInfo");
  EXPECT_EQ(bundle->fieldMessageName(0), nullptr);
  EXPECT_EQ(bundle->fieldMessageName(53), nullptr);
  EXPECT_EQ(bundle->fieldMessageName(-1), nullptr);
  EXPECT_STREQ(APMPBMeasurementBundle::messageClass().name, "APMPBMeasurementBundle");
  auto made = APMPBMeasurementBundle::messageClass().initWithMessageInfo(bundle->messageInfo());
  ASSERT_NE(made, nullptr);
  EXPECT_STREQ(made->messageID(), "MeasurementBundle");
}

TEST(WrapperClasses, MessagesHandedBackAsTheBaseEncode) {
  const Bytes wire{0x0a, 0x02, 0x08, 0x07, 0x0a, 0x00}; // two instructions
  auto program = APMPBProgram::initWithBuffer(wire);
  ASSERT_NE(program, nullptr);
  const NANOMessageClass entityClass = APMPBRuntimeEntity::messageClass();
  const auto items = APMNanoGetRepeated(program, ProgramField::instructions, &entityClass);
  ASSERT_TRUE(items.has_value());
  ASSERT_EQ(items->size(), 2u);
  std::vector<Bytes> encoded;
  for (const APMNanoValue& item : *items) {
    const auto& base = std::get<std::shared_ptr<NANOMessageBase>>(item);
    encoded.push_back(base->protoBuffer().value());
  }
  EXPECT_EQ(encoded, (std::vector<Bytes>{{0x08, 0x07}, {}}));
}

} // namespace
