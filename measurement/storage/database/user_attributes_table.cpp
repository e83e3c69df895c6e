// The user_attributes table: one row per user property, keyed by name.
#include "measurement/engine/data_type_validator.h"
#include "measurement/engine/user_property_names.h"
#include "measurement/storage/database/database.h"
#include "measurement/storage/database/table_support.h"
#include "measurement/storage/models/user_attribute.h"

namespace {

constexpr long kArgument = 1;
constexpr long kState = 2;
constexpr long kUnconvertible = 3;

using Attributes = std::vector<std::shared_ptr<APMUserAttribute>>;

// Null when the value column holds neither text nor a number, or when the
// attribute refuses the name or the value.
std::shared_ptr<APMUserAttribute> attributeFromRecord(const APMRecord& record) {
  std::optional<APMValue> value = APMValue::valueFromObject(record["value"]);
  if (!value) return nullptr;
  return APMUserAttribute::initWithOrigin(APMTextColumn(record, "origin"), APMTextColumn(record, "name"),
                                          std::move(*value), record["set_timestamp"].doubleValue());
}

const APMDatabase::CreateDataTypeBlock<std::shared_ptr<APMUserAttribute>> kAttributeBlock =
    [](const APMRecord& record, platform::ErrorRef*) { return attributeFromRecord(record); };

bool isAppsOwn(const std::string& name) {
  return !name.starts_with('_') && !APMDataTypeValidator::hasReservedPrefixes(name) &&
         !APMReservedUserPropertyNames().contains(name);
}


}  // namespace

std::optional<int64_t> APMDatabase::publicUserAttributeCount(platform::ErrorRef* error) {
  return APMIntegerOfNumber(sqliteStore_->numberForQuery(
      "SELECT count(1) FROM user_attributes WHERE name NOT LIKE '!_%' ESCAPE '!'", {}, error));
}

std::optional<int64_t> APMDatabase::userAttributeCountForOrigin(const std::string& origin,
                                                                platform::ErrorRef* error) {
  if (origin.empty()) {
    APMSetError(error, kArgument, "Received empty user property origin for count query");
    return std::nullopt;
  }
  return APMIntegerOfNumber(sqliteStore_->numberForQuery(
      "SELECT count(1) FROM user_attributes WHERE origin = ?", {origin}, error));
}

std::optional<bool> APMDatabase::containsUserAttributeWithName(const std::string& name,
                                                               platform::ErrorRef* error) {
  if (name.empty()) {
    APMSetError(error, kArgument, "Received empty user property name for exists query");
    return std::nullopt;
  }
  std::optional<int64_t> exists = APMIntegerOfNumber(sqliteStore_->numberForQuery(
      "SELECT EXISTS (SELECT 1 FROM user_attributes WHERE name = ? LIMIT 1)", {name}, error));
  if (!exists) return std::nullopt;
  return *exists != 0;
}

std::shared_ptr<APMUserAttribute> APMDatabase::userAttributeWithName(const std::string& name,
                                                                     platform::ErrorRef* error) {
  auto attributes =
      dataTypesFromTableWithName(kAPMUserAttributesTable, "name", name, error, kAttributeBlock);
  if (!attributes || attributes->empty()) return nullptr;
  return attributes->front();
}

std::optional<Attributes> APMDatabase::allLifetimeValueUserAttributes(platform::ErrorRef* error) {
  auto records = sqliteStore_->recordsForQuery(
      "SELECT * FROM user_attributes WHERE name LIKE '!_ltv!_%' ESCAPE '!' ORDER BY set_timestamp "
      "DESC",
      {}, error);
  if (!records) return std::nullopt;
  Attributes attributes;
  attributes.reserve(records->size());
  for (const APMRecord& record : *records) {
    std::shared_ptr<APMUserAttribute> attribute = attributeFromRecord(record);
    if (!attribute) {
      APMSetError(error, kState, "Failed to initialize data types from dictionaries");
      return std::nullopt;
    }
    attributes.push_back(std::move(attribute));
  }
  return attributes;
}

std::optional<Attributes> APMDatabase::userAttributesIncludingInternal(bool includeInternal,
                                                                       platform::ErrorRef* error) {
  auto attributes = allDataTypesFromTableWithName(kAPMUserAttributesTable,
                                                  kAPMUserAttributesTableLimit, error,
                                                  kAttributeBlock);
  if (!attributes || includeInternal) return attributes;
  std::erase_if(*attributes, [](const auto& attribute) { return !isAppsOwn(attribute->name()); });
  return attributes;
}

bool APMDatabase::updateUserAttribute(const std::shared_ptr<const APMUserAttribute>& attribute,
                                      platform::ErrorRef* error) {
  if (!attribute) {
    APMSetError(error, kUnconvertible,
                "Received empty user property for getting dictionary representation");
    return false;
  }
  if (attribute->origin().empty()) {
    APMSetError(error, kUnconvertible,
                "Received user property with empty origin for getting dictionary representation");
    return false;
  }
  if (attribute->name().empty()) {
    APMSetError(error, kArgument,
                "Received user property with empty name for getting dictionary representation");
    return false;
  }
  const std::string* text = attribute->value().stringValue();
  if (text && text->empty()) {
    APMSetError(error, kArgument, "Received empty string value for user property");
    return false;
  }
  APMRecord record{{"origin", attribute->origin()},
                   {"name", attribute->name()},
                   {"value", APMDatabaseObjectFromValue(attribute->value())},
                   {"set_timestamp", attribute->lastSetTimestamp()}};
  return upsertDataType(record, kAPMUserAttributesTable, "name", attribute->name(),
                        kAPMUserAttributesTableLimit, error);
}

bool APMDatabase::deleteUserAttributeWithName(const std::string& name, platform::ErrorRef* error) {
  return sqliteStore_->deleteRecordFromTableWithName(kAPMUserAttributesTable, "name", name, error);
}
