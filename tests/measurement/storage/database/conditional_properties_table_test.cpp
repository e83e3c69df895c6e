#include "measurement/engine/event.h"
#include "tests/measurement/storage/database/table_test_support.h"
#include "tests/support/recording_monitor.h"

namespace {

using platform::ErrorRef;
using Properties = std::vector<APMConditionalUserProperty>;

std::shared_ptr<APMEvent> event(const std::string& name) {
  return APMEvent::initWithOrigin("app", false, name, 100, 0, {{"k", APMValue(int64_t{1})}});
}

APMConditionalUserProperty property(const std::string& name, const std::string& origin = "app") {
  APMConditionalUserProperty property;
  property.setName(name);
  property.setOrigin(origin);
  property.setValue(APMValue(std::string("v")));
  property.setTriggerEventName("buy");
  property.setTriggerTimeout(3600);
  property.setTimeToLive(60);
  property.setCreationTimestamp(TableTest::kNow);
  return property;
}

std::vector<std::string> namesOf(const std::optional<Properties>& properties) {
  std::vector<std::string> names;
  for (const auto& property : properties.value_or(Properties{})) names.push_back(property.name());
  std::sort(names.begin(), names.end());
  return names;
}

class ConditionalPropertiesTableTest : public TableTest {};

}  // namespace

TEST_F(ConditionalPropertiesTableTest, RoundTripWithEventsAndReplacement) {
  APMConditionalUserProperty stored = property("p");
  stored.setValue(APMValue(2.5));
  stored.setTriggeredEvent(event("_t"));
  stored.setExpiredEvent(event("_x"));
  stored.setActive(true);
  stored.setTriggeredTimestamp(kNow + 5);
  ASSERT_TRUE(database_->updateConditionalUserProperty(stored));

  auto back = database_->conditionalUserPropertyWithName("p");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->origin(), "app");
  EXPECT_EQ(back->value(), APMValue(2.5));
  EXPECT_EQ(back->triggerEventName(), "buy");
  EXPECT_EQ(back->triggerTimeout(), 3600);
  EXPECT_EQ(back->timeToLive(), 60);
  EXPECT_EQ(back->creationTimestamp(), kNow);
  EXPECT_EQ(back->triggeredTimestamp(), kNow + 5);
  EXPECT_TRUE(back->isActive());
  ASSERT_TRUE(back->triggeredEvent() && back->expiredEvent());
  EXPECT_EQ(back->triggeredEvent()->name(), "_t");
  EXPECT_EQ(back->expiredEvent()->parameters(), event("_x")->parameters());
  EXPECT_FALSE(back->timedOutEvent());

  // Replaced whole: what the new row leaves out becomes NULL.
  APMConditionalUserProperty replacement = property("p");
  replacement.setTriggerEventName("");
  ASSERT_TRUE(database_->updateConditionalUserProperty(replacement));
  EXPECT_EQ(store().numberForQuery("SELECT count(1) FROM conditional_properties WHERE "
                                   "trigger_event_name IS NULL AND triggered_event IS NULL",
                                   {}),
            platform::Object(1));
  EXPECT_FALSE(database_->conditionalUserPropertyWithName("p")->triggeredEvent());

  EXPECT_TRUE(database_->deleteConditionalUserPropertyWithName("p"));
  EXPECT_FALSE(database_->conditionalUserPropertyWithName("p"));
}

TEST_F(ConditionalPropertiesTableTest, TimeBoundaries) {
  APMConditionalUserProperty waiting = property("waiting");
  APMConditionalUserProperty active = property("active");
  active.setActive(true);
  active.setTriggeredTimestamp(kNow);
  ASSERT_TRUE(database_->updateConditionalUserProperty(waiting));
  ASSERT_TRUE(database_->updateConditionalUserProperty(active));

  struct Case {
    double now;
    std::vector<std::string> triggered, timedOut, expired;
  } cases[] = {
      {kNow + 60, {"waiting"}, {}, {}},
      {kNow + 61, {"waiting"}, {}, {"active"}},
      {kNow + 3600, {"waiting"}, {}, {"active"}},
      {kNow + 3601, {}, {"waiting"}, {"active"}},
      // A clock set back counts the distance as well.
      {kNow - 3601, {}, {"waiting"}, {"active"}},
  };
  for (const Case& c : cases) {
    clock_->set(c.now);
    EXPECT_EQ(namesOf(database_->triggeredConditionalUserPropertiesWithEventName("buy")), c.triggered)
        << c.now - kNow;
    EXPECT_EQ(namesOf(database_->timedOutConditionalUserPropertiesWithError()), c.timedOut)
        << c.now - kNow;
    EXPECT_EQ(namesOf(database_->expiredConditionalUserPropertiesWithError()), c.expired)
        << c.now - kNow;
  }
  clock_->set(kNow);
  EXPECT_TRUE(database_->triggeredConditionalUserPropertiesWithEventName("other")->empty());
  ErrorRef error;
  EXPECT_FALSE(database_->triggeredConditionalUserPropertiesWithEventName("", &error));
  EXPECT_EQ(error->localizedDescription(),
            "Received nil/empty event name for querying triggered conditional user properties");
}

TEST_F(ConditionalPropertiesTableTest, PrefixAndOriginMatchLiterally) {
  for (const auto& [name, origin] : std::vector<std::pair<std::string, std::string>>{
           {"abc", "app"}, {"ab", "auto"}, {"xab", "app"}, {"aXc", "app"}, {"a_c", "a_p"},
           {"a%c", "app"}}) {
    ASSERT_TRUE(database_->updateConditionalUserProperty(property(name, origin)));
  }
  struct Case {
    std::string prefix, origin;
    std::vector<std::string> names;
  } cases[] = {
      {"ab", "", {"ab", "abc"}},
      {"a_", "", {"a_c"}},
      {"a%", "", {"a%c"}},
      {"", "app", {"a%c", "aXc", "abc", "xab"}},
      {"", "a_p", {"a_c"}},
      {"ab", "auto", {"ab"}},
      {"", "", {"a%c", "aXc", "a_c", "ab", "abc", "xab"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(namesOf(database_->conditionalUserPropertiesWithPrefix(c.prefix, c.origin)), c.names)
        << "'" << c.prefix << "' '" << c.origin << "'";
  }
  ErrorRef error;
  EXPECT_FALSE(database_->conditionalUserPropertiesWithCondition("", {}, &error));
  EXPECT_EQ(error->localizedDescription(),
            "Received empty condition for querying a conditional user property");
}

TEST_F(ConditionalPropertiesTableTest, AnUnreadableEventCostsOnlyThatEvent) {
  RecordingMonitor monitor;
  APMConditionalUserProperty damaged = property("damaged");
  damaged.setTriggeredEvent(event("_t"));
  damaged.setTimedOutEvent(event("_o"));
  ASSERT_TRUE(database_->updateConditionalUserProperty(damaged));
  ASSERT_TRUE(database_->updateConditionalUserProperty(property("sound")));
  ASSERT_TRUE(store().executeSQL(
      "UPDATE conditional_properties SET triggered_event = x'0aff' WHERE name = 'damaged'"));

  for (bool withError : {true, false}) {
    ErrorRef error;
    auto one = database_->conditionalUserPropertyWithName("damaged", withError ? &error : nullptr);
    ASSERT_TRUE(one);
    EXPECT_FALSE(one->triggeredEvent());
    ASSERT_TRUE(one->timedOutEvent());
    EXPECT_EQ(one->timedOutEvent()->name(), "_o");
    EXPECT_EQ(namesOf(database_->conditionalUserPropertiesWithPrefix("", "",
                                                                      withError ? &error : nullptr)),
              (std::vector<std::string>{"damaged", "sound"}));
  }
  EXPECT_TRUE(monitor.contains(12061));
  EXPECT_EQ(monitor.first(12061).contexts.at(0), platform::Object("damaged"));
}

TEST_F(ConditionalPropertiesTableTest, RefusedWritesAndTheRowLimit) {
  struct Case {
    std::optional<APMConditionalUserProperty> property;
    const char* text;
  } cases[] = {
      {std::nullopt, "Received empty conditional user property for getting dictionary representation"},
      {property(""), "Received conditional user property with empty name for getting dictionary "
                     "representation"},
      {property("p", ""), "Received conditional user property with empty origin for getting "
                          "dictionary representation"},
      {[] {
         auto valueless = property("p");
         valueless.setValue(std::nullopt);
         return valueless;
       }(),
       "Received conditional user property with nil value for getting dictionary representation"},
  };
  for (const Case& c : cases) {
    ErrorRef error;
    expectRefused(database_->updateConditionalUserProperty(c.property, &error), error, 3, c.text);
    EXPECT_FALSE(database_->updateConditionalUserProperty(c.property));
  }
  EXPECT_EQ(rowCount(kAPMConditionalPropertiesTable), 0);

  fill("INSERT INTO conditional_properties (name, origin, value, creation_timestamp, active, "
       "trigger_timeout, triggered_timestamp, time_to_live) VALUES ('n' || ?, 'app', 'v', 0, 0, 0, "
       "0, 0)",
       1000);
  ErrorRef error;
  EXPECT_FALSE(database_->updateConditionalUserProperty(property("n1000"), &error));
  EXPECT_EQ(error->localizedDescription(), "Failed to insert data type. Table is full");
  EXPECT_TRUE(database_->updateConditionalUserProperty(property("n999")));
  EXPECT_EQ(rowCount(kAPMConditionalPropertiesTable), 1000);
}
