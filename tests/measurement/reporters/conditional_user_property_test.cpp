#include "measurement/reporters/conditional_user_property.h"

#include <gtest/gtest.h>

namespace {

// Events are only carried here, never looked into; a stand-in pointer that
// shares ownership with `owner` is enough to see who holds what.
std::shared_ptr<APMEvent> standInEvent(const std::shared_ptr<int>& owner) {
  return std::shared_ptr<APMEvent>(owner, reinterpret_cast<APMEvent*>(owner.get()));
}

}  // namespace

TEST(ConditionalUserPropertyTest, CopyIsIndependentAndSharesEvents) {
  auto owner = std::make_shared<int>(0);
  APMConditionalUserProperty original;
  original.setName("prop");
  original.setOrigin("app");
  original.setValue(APMValue(std::string("v")));
  original.setTriggerEventName("purchase");
  original.setTimeToLive(60);
  original.setTriggeredEvent(standInEvent(owner));
  original.setActive(true);

  APMConditionalUserProperty copy = original;
  EXPECT_EQ(copy.name(), "prop");
  EXPECT_EQ(copy.origin(), "app");
  EXPECT_EQ(copy.value(), APMValue(std::string("v")));
  EXPECT_EQ(copy.triggerEventName(), "purchase");
  EXPECT_EQ(copy.timeToLive(), 60);
  EXPECT_TRUE(copy.isActive());
  EXPECT_EQ(copy.triggeredEvent(), original.triggeredEvent());
  EXPECT_EQ(owner.use_count(), 3);

  copy.setName("other");
  copy.setValue(APMValue(int64_t{2}));
  copy.setActive(false);
  copy.setTriggeredEvent(nullptr);
  copy.setExpiredEvent(standInEvent(owner));
  EXPECT_EQ(original.name(), "prop");
  EXPECT_EQ(original.value(), APMValue(std::string("v")));
  EXPECT_TRUE(original.isActive());
  EXPECT_TRUE(original.triggeredEvent());
  EXPECT_FALSE(original.expiredEvent());
}
