// Freeing a message runs in destructors, which cannot report a failure: an
// allocation there that fails ends the process. Freeing allocates nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include "measurement/messages/message_wrappers.h"
#include "measurement/messages/nano_accessors.h"
#include "tests/support/failing_allocation.h"

namespace {

// An event of `count` parameters, each holding one nested parameter: a
// freed record meets all of them at once.
platform::Bytes eventOfParams(int count) {
  platform::Bytes bytes;
  for (int i = 0; i < count; ++i) {
    for (uint8_t byte : {0x0A, 0x02, 0x32, 0x00}) bytes.push_back(byte);
  }
  return bytes;
}

TEST(MessageFreeingDeathTest, FreeingAllocatesNothingWhileMemoryRunsOut) {
  const platform::Bytes bytes = eventOfParams(600);
  // Each way a record is freed: a decoded wrapper, a copied one, and a
  // field cleared through the accessors.
  EXPECT_EXIT(
      {
        auto decoded = APMPBEvent::initWithBuffer(bytes);
        auto copied = decoded ? APMPBEvent::initWithMessageInfo(decoded->messageInfo()) : nullptr;
        auto cleared = decoded ? APMPBEvent::initWithBuffer(bytes) : nullptr;
        if (!decoded || !copied || !cleared) _exit(2);
        FailingAllocation failing(1, 0);
        decoded.reset();
        copied.reset();
        APMNanoClearField(cleared, EventField::params);
        _exit(failing.counted() == 0 ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
