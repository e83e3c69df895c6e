#include "measurement/storage/models/user_attribute.h"

#include "tests/measurement/storage/database/table_test_support.h"
#include "tests/support/recording_monitor.h"

namespace {

using platform::ErrorRef;
using platform::Object;

std::shared_ptr<APMUserAttribute> attribute(const std::string& name, APMValue value,
                                            double timestamp = 1, const std::string& origin = "app") {
  return APMUserAttribute::initWithOrigin(origin, name, std::move(value), timestamp);
}

std::vector<std::string> namesOf(
    const std::optional<std::vector<std::shared_ptr<APMUserAttribute>>>& attributes) {
  std::vector<std::string> names;
  for (const auto& attribute : attributes.value_or(std::vector<std::shared_ptr<APMUserAttribute>>{})) {
    names.push_back(attribute->name());
  }
  return names;
}

class UserAttributesTableTest : public TableTest {};

}  // namespace

TEST_F(UserAttributesTableTest, ValuesComeBackInTheirOwnKind) {
  for (const APMValue& value :
       {APMValue(std::string("12")), APMValue(int64_t{12}), APMValue(12.0), APMValue(-0.5)}) {
    ASSERT_TRUE(database_->updateUserAttribute(attribute("p", value, 1.25, "auto")));
    auto back = database_->userAttributeWithName("p");
    ASSERT_TRUE(back) << value.description();
    EXPECT_EQ(back->value(), value);
    EXPECT_EQ(back->origin(), "auto");
    EXPECT_EQ(back->lastSetTimestamp(), 1.25);
  }
  EXPECT_EQ(rowCount(kAPMUserAttributesTable), 1);
  EXPECT_FALSE(database_->userAttributeWithName("missing"));
  EXPECT_EQ(database_->containsUserAttributeWithName("p"), true);
  EXPECT_TRUE(database_->deleteUserAttributeWithName("p"));
  EXPECT_EQ(database_->containsUserAttributeWithName("p"), false);
}

TEST_F(UserAttributesTableTest, TableOfAThousandTakesReplacementsOnly) {
  fill("INSERT INTO user_attributes (name, set_timestamp, value, origin) VALUES ('n' || ?, 1, 'v', "
       "'app')",
       1000);
  ASSERT_EQ(rowCount(kAPMUserAttributesTable), 1000);
  ErrorRef error;
  expectRefused(database_->updateUserAttribute(attribute("new", APMValue(int64_t{1})), &error),
                error, 2, "Failed to insert data type. Table is full");
  EXPECT_FALSE(database_->containsUserAttributeWithName("new").value_or(true));

  EXPECT_TRUE(database_->updateUserAttribute(attribute("n7", APMValue(int64_t{70}))));
  EXPECT_EQ(database_->userAttributeWithName("n7")->value(), APMValue(int64_t{70}));
  EXPECT_EQ(rowCount(kAPMUserAttributesTable), 1000);
}

TEST_F(UserAttributesTableTest, RefusedWrites) {
  struct Case {
    std::shared_ptr<const APMUserAttribute> attribute;
    long code;
    const char* text;
  } cases[] = {
      {nullptr, 3, "Received empty user property for getting dictionary representation"},
      {std::make_shared<APMUserAttribute>("", "p", APMValue(int64_t{1}), 1), 3,
       "Received user property with empty origin for getting dictionary representation"},
      {std::make_shared<APMUserAttribute>("app", "", APMValue(int64_t{1}), 1), 1,
       "Received user property with empty name for getting dictionary representation"},
      {std::make_shared<APMUserAttribute>("app", "p", APMValue(std::string()), 1), 1,
       "Received empty string value for user property"},
  };
  for (const Case& c : cases) {
    ErrorRef error;
    expectRefused(database_->updateUserAttribute(c.attribute, &error), error, c.code, c.text);
    // The same answer without an out-parameter, and nothing written.
    EXPECT_FALSE(database_->updateUserAttribute(c.attribute));
  }
  EXPECT_EQ(rowCount(kAPMUserAttributesTable), 0);
}

TEST_F(UserAttributesTableTest, ListingsCountsAndLifetimeValues) {
  struct Row {
    const char* name;
    double timestamp;
    const char* origin;
  } rows[] = {
      {"_fot", 1, "auto"},     {"first_open_time", 2, "app"}, {"va_custom", 3, "app"},
      {"score", 4, "app"},     {"_ltv_USD", 5, "auto"},       {"_ltv_EUR", 9, "auto"},
      {"xltv_GBP", 7, "auto"}, {"_ltvXJPY", 8, "auto"},
  };
  for (const Row& row : rows) {
    ASSERT_TRUE(
        database_->updateUserAttribute(attribute(row.name, APMValue(int64_t{1}), row.timestamp, row.origin)));
  }
  EXPECT_EQ(namesOf(database_->userAttributesIncludingInternal(true)).size(), std::size(rows));
  EXPECT_EQ(namesOf(database_->userAttributesIncludingInternal(false)),
            (std::vector<std::string>{"score", "xltv_GBP"}));
  // "_ltv_" is matched literally, newest first.
  EXPECT_EQ(namesOf(database_->allLifetimeValueUserAttributes()),
            (std::vector<std::string>{"_ltv_EUR", "_ltv_USD"}));
  EXPECT_EQ(database_->publicUserAttributeCount(), 4);
  EXPECT_EQ(database_->userAttributeCountForOrigin("auto"), 5);

  ErrorRef error;
  EXPECT_FALSE(database_->userAttributeCountForOrigin("", &error));
  EXPECT_EQ(error->localizedDescription(), "Received empty user property origin for count query");
  EXPECT_FALSE(database_->containsUserAttributeWithName("", &error));
  EXPECT_EQ(error->code(), 1);
}

TEST_F(UserAttributesTableTest, UnreadableRowsAreSkippedOrFailTheLifetimeListing) {
  RecordingMonitor monitor;
  ASSERT_TRUE(database_->updateUserAttribute(attribute("_ltv_USD", APMValue(int64_t{1}))));
  ASSERT_TRUE(store().executeSQL(
      "INSERT INTO user_attributes (name, set_timestamp, value, origin) VALUES ('_ltv_bad', 2, "
      "x'00', 'app')"));
  EXPECT_EQ(namesOf(database_->userAttributesIncludingInternal(true)),
            std::vector<std::string>{"_ltv_USD"});
  ErrorRef error;
  EXPECT_FALSE(database_->allLifetimeValueUserAttributes(&error));
  EXPECT_TRUE(error);
  // A key whose only row cannot be read is reported as such.
  EXPECT_FALSE(database_->userAttributeWithName("_ltv_bad", &error));
  EXPECT_EQ(error->localizedDescription(), "Failed to initialize data types from dictionaries");
  EXPECT_TRUE(monitor.contains(35001));
}

TEST_F(UserAttributesTableTest, ReadsOfAClosedStoreFailInsteadOfAnsweringEmpty) {
  ASSERT_TRUE(database_->updateUserAttribute(attribute("score", APMValue(int64_t{1}))));
  store().closeDatabase();
  ErrorRef error;
  EXPECT_FALSE(database_->userAttributesIncludingInternal(false, &error));
  EXPECT_TRUE(error);
  EXPECT_FALSE(database_->publicUserAttributeCount());
  EXPECT_FALSE(database_->allLifetimeValueUserAttributes());
}
