#include "measurement/engine/audience_filter.h"
#include "measurement/engine/filter_result.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/models/property_filter.h"
#include "tests/measurement/storage/database/table_test_support.h"

namespace {

using platform::Bytes;
using platform::ErrorRef;

struct Flags {
  bool sessionScoped, dynamic, sequence;
};

template <typename Message>
Bytes filterMessage(int32_t sessionField, int32_t dynamicField, int32_t sequenceField,
                    Flags flags) {
  auto message = Message::initWithMessageInfo(nullptr);
  APMNanoSetInt32(message, 0, 1);
  APMNanoSetBool(message, sessionField, flags.sessionScoped);
  APMNanoSetBool(message, dynamicField, flags.dynamic);
  APMNanoSetBool(message, sequenceField, flags.sequence);
  return *message->protoBuffer();
}

std::shared_ptr<APMEventFilter> eventFilter(int32_t audience, int32_t filter, const std::string& name,
                                            Flags flags = {}) {
  Bytes data = filterMessage<APMPBEventFilter>(
      EventFilterField::session_scoped, EventFilterField::dynamic, EventFilterField::sequence, flags);
  return std::make_shared<APMEventFilter>(audience, filter, name, data, flags.sessionScoped,
                                          flags.dynamic, flags.sequence);
}

std::shared_ptr<APMPropertyFilter> propertyFilter(int32_t audience, int32_t filter,
                                                  const std::string& name, Flags flags = {}) {
  Bytes data = filterMessage<APMPBPropertyFilter>(PropertyFilterField::session_scoped,
                                                  PropertyFilterField::dynamic,
                                                  PropertyFilterField::sequence, flags);
  return std::make_shared<APMPropertyFilter>(audience, filter, name, data, flags.sessionScoped,
                                             flags.dynamic, flags.sequence);
}

class AudienceFiltersTableTest : public TableTest {};

}  // namespace

TEST_F(AudienceFiltersTableTest, FlagsComeFromTheStoredMessageNotTheColumn) {
  ASSERT_TRUE(database_->updateEventFilters({eventFilter(1, 1, "buy", {true, false, true}),
                                             eventFilter(1, 2, "buy", {false, true, false})}));
  ASSERT_TRUE(database_->updatePropertyFilters({propertyFilter(2, 1, "tier", {false, true, true})}));
  // A column that disagrees with the message changes nothing read back.
  ASSERT_TRUE(store().executeSQL("UPDATE event_filters SET session_scoped = 1 - session_scoped"));
  ASSERT_TRUE(store().executeSQL("UPDATE property_filters SET session_scoped = 1"));

  auto events = database_->eventFiltersForEventName("buy");
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 2u);
  const APMEventFilter& first = *events->at(0);
  EXPECT_EQ(first.audienceID(), 1);
  EXPECT_EQ(first.filterID(), 1);
  EXPECT_EQ(first.eventName(), "buy");
  EXPECT_TRUE(first.isSessionScoped());
  EXPECT_FALSE(first.isDynamic());
  EXPECT_TRUE(first.isSequence());
  EXPECT_FALSE(events->at(1)->isSessionScoped());
  EXPECT_TRUE(events->at(1)->isDynamic());

  auto properties = database_->propertyFiltersForPropertyName("tier");
  ASSERT_TRUE(properties && properties->size() == 1);
  EXPECT_FALSE(properties->at(0)->isSessionScoped());
  EXPECT_TRUE(properties->at(0)->isDynamic());
  EXPECT_TRUE(properties->at(0)->isSequence());

  EXPECT_TRUE(database_->eventFiltersForEventName("other")->empty());
}

TEST_F(AudienceFiltersTableTest, BytesThatDoNotDecodeGiveNoFlags) {
  Bytes garbage = {0x0a, 0xff, 0xff};
  ASSERT_TRUE(database_->updateEventFilters(
      {std::make_shared<APMEventFilter>(3, 4, "buy", garbage, true, true, true)}));
  auto filters = database_->eventFiltersForEventName("buy");
  ASSERT_TRUE(filters && filters->size() == 1);
  const APMEventFilter& filter = *filters->at(0);
  EXPECT_FALSE(filter.isSessionScoped() || filter.isDynamic() || filter.isSequence());
  EXPECT_EQ(filter.data(), garbage);
}

TEST_F(AudienceFiltersTableTest, SessionScopedFiltersAndAudienceIDs) {
  ASSERT_TRUE(database_->updateEventFilters(
      {eventFilter(1, 1, "a", {true, false, false}), eventFilter(1, 2, "a"),
       eventFilter(5, 3, "b", {true, false, false})}));
  ASSERT_TRUE(database_->updatePropertyFilters(
      {propertyFilter(1, 9, "p", {true, false, false}), propertyFilter(7, 1, "p")}));
  auto scoped = database_->allSessionScopedFilters();
  ASSERT_TRUE(scoped);
  EXPECT_EQ(*scoped, (std::map<int32_t, std::vector<int32_t>>{{1, {1, 9}}, {5, {3}}}));
  auto audiences = database_->allAudienceIDs();
  ASSERT_TRUE(audiences);
  std::sort(audiences->begin(), audiences->end());
  EXPECT_EQ(*audiences, (std::vector<int32_t>{1, 5, 7}));

  // A failed query is a failure, with or without an out-parameter.
  store().closeDatabase();
  ErrorRef error;
  EXPECT_FALSE(database_->allSessionScopedFilters(&error));
  EXPECT_TRUE(error);
  EXPECT_FALSE(database_->allSessionScopedFilters());
}

TEST_F(AudienceFiltersTableTest, RefusedUpdates) {
  Bytes data = {0x08, 0x01};
  struct Case {
    std::vector<std::shared_ptr<APMEventFilter>> filters;
    long code;
    const char* text;
  } cases[] = {
      {{}, 1, "Received empty event filters to update"},
      {{nullptr}, 3, "Received empty event filter for getting dictionary representation"},
      {{std::make_shared<APMEventFilter>(1, 1, "", data, false, false, false)}, 3,
       "Received event filter with empty event name for getting dictionary representation"},
      {{std::make_shared<APMEventFilter>(1, 1, "e", Bytes(), false, false, false)}, 3,
       "Received event filter with empty data for getting dictionary representation"},
  };
  for (const Case& c : cases) {
    ErrorRef error;
    expectRefused(database_->updateEventFilters(c.filters, &error), error, c.code, c.text);
  }
  ErrorRef error;
  EXPECT_FALSE(database_->updatePropertyFilters(
      {propertyFilter(1, 1, "p"), std::make_shared<APMPropertyFilter>(1, 2, "", data, 0, 0, 0)},
      &error));
  EXPECT_EQ(error->localizedDescription(),
            "Received property filter with empty property name for getting dictionary "
            "representation");
  // Rows written before the failure stay.
  EXPECT_EQ(rowCount(kAPMPropertyFiltersTable), 1);
  EXPECT_EQ(rowCount(kAPMEventFiltersTable), 0);
}

TEST_F(AudienceFiltersTableTest, DeletingManyFiltersAtOnce) {
  std::vector<std::shared_ptr<APMEventFilter>> filters;
  for (int32_t i = 0; i < 2500; ++i) filters.push_back(eventFilter(i / 10, i % 10, "e"));
  ASSERT_TRUE(database_->performTransaction([&] { return database_->updateEventFilters(filters); }));
  std::vector<std::shared_ptr<APMEventFilter>> doomed(filters.begin(), filters.begin() + 2400);
  doomed.push_back(eventFilter(9999, 1, "e"));  // not stored: no harm
  ErrorRef error;
  EXPECT_TRUE(database_->deleteEventFilters(doomed, &error))
      << (error ? error->localizedDescription() : "");
  EXPECT_EQ(rowCount(kAPMEventFiltersTable), 100);
  EXPECT_EQ(database_->eventFiltersForEventName("e")->front()->audienceID(), 240);

  EXPECT_FALSE(database_->deleteEventFilters({}, &error));
  EXPECT_EQ(error->localizedDescription(), "Received empty event filters to delete");
  EXPECT_FALSE(database_->deletePropertyFilters({nullptr}, &error));
  EXPECT_EQ(error->localizedDescription(), "Received unknown type to delete property filter");
  EXPECT_TRUE(database_->deleteAllEventFilters());
  EXPECT_EQ(rowCount(kAPMEventFiltersTable), 0);
}

TEST_F(AudienceFiltersTableTest, FilterResults) {
  Bytes current = {1, 2, 3};
  Bytes previous = {4};
  ASSERT_TRUE(database_->updateFilterResults(
      {std::make_shared<APMFilterResult>(3, current, std::nullopt),
       std::make_shared<APMFilterResult>(5, current, previous),
       std::make_shared<APMFilterResult>(6, current, Bytes())}));
  auto three = database_->filterResultForAudienceID(3);
  ASSERT_TRUE(three);
  EXPECT_EQ(three->currentResults(), current);
  EXPECT_FALSE(three->previousResults());
  EXPECT_FALSE(database_->filterResultForAudienceID(6)->previousResults());
  EXPECT_EQ(database_->filterResultForAudienceID(5)->previousResults(), previous);
  EXPECT_FALSE(database_->filterResultForAudienceID(4));
  EXPECT_EQ(store().numberForQuery(
                "SELECT count(1) FROM audience_filter_values WHERE previous_results IS NULL", {}),
            platform::Object(2));

  auto all = database_->allFilterResults();
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 3u);
  EXPECT_EQ(all->at(5)->previousResults(), previous);

  // Audiences 3, 3 and 5: each goes once, as an integer.
  auto result = [&](int32_t audience) {
    return std::make_shared<APMFilterResult>(audience, current, std::nullopt);
  };
  ASSERT_TRUE(database_->deleteFilterResults({result(3), result(3), result(5)}));
  EXPECT_EQ(rowCount(kAPMAudienceFilterValuesTable), 1);

  ErrorRef error;
  EXPECT_FALSE(database_->updateFilterResults(
      {std::make_shared<APMFilterResult>(8, Bytes(), std::nullopt)}, &error));
  EXPECT_TRUE(error);
  EXPECT_FALSE(database_->updateFilterResults({}, &error));
  EXPECT_EQ(error->localizedDescription(), "Received empty filter results to update");
  EXPECT_FALSE(database_->deleteFilterResults({nullptr}, &error));
  EXPECT_EQ(error->localizedDescription(), "Received unknown type to delete filter result");
}
