#include "measurement/storage/models/conditional_user_property.h"

#include <gtest/gtest.h>

TEST(ConditionalUserPropertyTest, CopyIsIndependentAndSharesEvents) {
  auto event = APMEvent::initWithOrigin("app", false, "_e", 1, 0, {});
  APMConditionalUserProperty original;
  original.setName("prop");
  original.setOrigin("app");
  original.setValue(APMValue(std::string("v")));
  original.setTriggerEventName("purchase");
  original.setTimeToLive(60);
  original.setTriggeredEvent(event);
  original.setActive(true);

  APMConditionalUserProperty copy = original;
  EXPECT_EQ(copy.name(), "prop");
  EXPECT_EQ(copy.origin(), "app");
  EXPECT_EQ(copy.value(), APMValue(std::string("v")));
  EXPECT_EQ(copy.triggerEventName(), "purchase");
  EXPECT_EQ(copy.timeToLive(), 60);
  EXPECT_TRUE(copy.isActive());
  EXPECT_EQ(copy.triggeredEvent(), original.triggeredEvent());
  EXPECT_EQ(event.use_count(), 3);

  copy.setName("other");
  copy.setValue(APMValue(int64_t{2}));
  copy.setActive(false);
  copy.setTriggeredEvent(nullptr);
  copy.setExpiredEvent(event);
  EXPECT_EQ(original.name(), "prop");
  EXPECT_EQ(original.value(), APMValue(std::string("v")));
  EXPECT_TRUE(original.isActive());
  EXPECT_TRUE(original.triggeredEvent());
  EXPECT_FALSE(original.expiredEvent());
}
