#include "measurement/engine/event.h"
#include "measurement/messages/nano_callbacks.h"
#include "tests/measurement/storage/database/table_test_support.h"

namespace {

using platform::ErrorRef;

class ComplexEventsTableTest : public TableTest {};

}  // namespace

TEST_F(ComplexEventsTableTest, MainEventAndChildCount) {
  auto event = APMEvent::initWithOrigin("app", false, "purchase", 12.5, 0,
                                        {{"value", APMValue(9.99)}});
  ASSERT_TRUE(database_->updateComplexEventForAudienceEvaluationWithEventID(7, 3, event));
  ASSERT_TRUE(database_->updateComplexEventForAudienceEvaluationWithEventID(7, 2, event));
  auto pair = database_->mainEventAndChildCountPairWithEventID(7);
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->second, 2);
  EXPECT_EQ(pair->first->name(), "purchase");
  EXPECT_EQ(pair->first->parameters(), event->parameters());

  EXPECT_FALSE(database_->mainEventAndChildCountPairWithEventID(8));
  EXPECT_TRUE(database_->deleteComplexEventForAudienceEvaluationWithEventID(7));
  EXPECT_FALSE(database_->mainEventAndChildCountPairWithEventID(7));

  ErrorRef error;
  expectRefused(database_->updateComplexEventForAudienceEvaluationWithEventID(1, 1, nullptr, &error),
                error, 1, "Received nil main event");
  auto oversized = APMEvent::initWithOrigin(
      "app", false, "purchase", 12.5, 0,
      {{"value", APMValue(std::string(kNanoMaxStringLength + 1, 'x'))}});
  expectRefused(database_->updateComplexEventForAudienceEvaluationWithEventID(1, 1, oversized, &error),
                error, 1,
                "Event holds a value the reader cannot take back: text or bytes over 1048576 bytes, "
                "or messages nested too deep");
  EXPECT_EQ(rowCount(kAPMMainEventParamsTable), 0);
}

TEST_F(ComplexEventsTableTest, UnreadableMainEvents) {
  struct Case {
    const char* blob;
    long code;
    const char* text;
  } cases[] = {
      {"'text'", 2, "Failed to convert data to an event. Data must be a NSData instance"},
      {"x'0aff'", 2, "Failed to parse event from data"},
      {"x'1201'", 2, "Failed to parse event from data"},
      // A name and a time, but no "_o" parameter.
      {"x'1201611801'", 2, "Failed to initialize event from proto data"},
      {"x''", 3, "Main event blob is nil in database"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(store().executeSQL(std::string("INSERT OR REPLACE INTO main_event_params (event_id, "
                                               "children_to_process, main_event) VALUES (1, 1, ") +
                                   c.blob + ")"));
    SCOPED_TRACE(c.blob);
    ErrorRef error;
    expectRefused(database_->mainEventAndChildCountPairWithEventID(1, &error), error, c.code, c.text);
  }
}
