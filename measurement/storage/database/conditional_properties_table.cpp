// The conditional_properties table: one row per conditional user property,
// keyed by name, with its three events as message bytes.
#include "measurement/engine/monitor.h"
#include "measurement/storage/database/database.h"
#include "measurement/storage/database/table_support.h"
#include "platform/clock.h"

namespace {

constexpr long kArgument = 1;
constexpr long kUnconvertible = 3;

using Properties = std::vector<APMConditionalUserProperty>;

// The three event columns with the record's setters and getters.
struct EventColumn {
  const char* column;
  const std::shared_ptr<APMEvent>& (APMConditionalUserProperty::*get)() const;
  void (APMConditionalUserProperty::*set)(std::shared_ptr<APMEvent>);
};

constexpr EventColumn kEventColumns[] = {
    {"triggered_event", &APMConditionalUserProperty::triggeredEvent,
     &APMConditionalUserProperty::setTriggeredEvent},
    {"timed_out_event", &APMConditionalUserProperty::timedOutEvent,
     &APMConditionalUserProperty::setTimedOutEvent},
    {"expired_event", &APMConditionalUserProperty::expiredEvent,
     &APMConditionalUserProperty::setExpiredEvent},
};

// Never fails: a value column of another kind gives no value, and an event
// that no longer decodes is left out and logged, so that one damaged blob
// cannot hide the property or its siblings.
APMConditionalUserProperty propertyFromRecord(const APMRecord& record) {
  APMConditionalUserProperty property;
  property.setName(APMTextColumn(record, "name"));
  property.setOrigin(APMTextColumn(record, "origin"));
  property.setValue(APMValue::valueFromObject(record["value"]));
  property.setTriggerTimeout(record["trigger_timeout"].doubleValue());
  property.setTimeToLive(record["time_to_live"].doubleValue());
  property.setCreationTimestamp(record["creation_timestamp"].doubleValue());
  property.setTriggeredTimestamp(record["triggered_timestamp"].doubleValue());
  property.setActive(record["active"].boolValue());
  property.setTriggerEventName(APMTextColumn(record, "trigger_event_name"));
  for (const EventColumn& column : kEventColumns) {
    const platform::Object* stored = record.find(column.column);
    if (!stored || stored->isNull()) continue;
    platform::ErrorRef error;
    std::shared_ptr<APMEvent> event = APMEventFromColumn(*stored, &error);
    if (!event) {
      APMMeasurement::monitor()->logWithLevel(
          4, 12061, "Dropped an unreadable event of a conditional user property. Name, column, error",
          property.name(), column.column, error);
    }
    (property.*column.set)(std::move(event));
  }
  return property;
}

const char* refusalOf(const std::optional<APMConditionalUserProperty>& property) {
  if (!property) return "Received empty conditional user property for getting dictionary representation";
  if (property->name().empty()) {
    return "Received conditional user property with empty name for getting dictionary "
           "representation";
  }
  if (property->origin().empty()) {
    return "Received conditional user property with empty origin for getting dictionary "
           "representation";
  }
  if (!property->value()) {
    return "Received conditional user property with nil value for getting dictionary "
           "representation";
  }
  return nullptr;
}

}  // namespace

std::optional<APMConditionalUserProperty> APMDatabase::conditionalUserPropertyWithName(
    const std::string& name, platform::ErrorRef* error) {
  auto properties = dataTypesFromTableWithName<std::optional<APMConditionalUserProperty>>(
      kAPMConditionalPropertiesTable, "name", name, error,
      [](const APMRecord& record, platform::ErrorRef*) {
        return std::optional<APMConditionalUserProperty>(propertyFromRecord(record));
      });
  if (!properties || properties->empty()) return std::nullopt;
  return properties->front();
}

bool APMDatabase::updateConditionalUserProperty(
    const std::optional<APMConditionalUserProperty>& property, platform::ErrorRef* error) {
  if (const char* refusal = refusalOf(property)) {
    APMSetError(error, kUnconvertible, refusal);
    return false;
  }
  APMRecord record{{"name", property->name()},
                   {"origin", property->origin()},
                   {"value", APMDatabaseObjectFromValue(*property->value())},
                   {"creation_timestamp", property->creationTimestamp()},
                   {"active", property->isActive() ? 1 : 0},
                   {"trigger_timeout", property->triggerTimeout()},
                   {"triggered_timestamp", property->triggeredTimestamp()},
                   {"time_to_live", property->timeToLive()}};
  if (!property->triggerEventName().empty()) {
    record.set("trigger_event_name", property->triggerEventName());
  }
  for (const EventColumn& column : kEventColumns) {
    const std::shared_ptr<APMEvent>& event = (*property.*column.get)();
    if (!event) continue;
    std::optional<platform::Bytes> bytes = APMColumnOfEvent(
        *event, true,
        {kUnconvertible, "Cannot create the event blob of a conditional user property"}, error);
    if (!bytes) return false;
    record.set(column.column, std::move(*bytes));
  }
  return upsertDataType(record, kAPMConditionalPropertiesTable, "name", property->name(),
                        kAPMConditionalPropertiesTableLimit, error);
}

bool APMDatabase::deleteConditionalUserPropertyWithName(const std::string& name,
                                                        platform::ErrorRef* error) {
  return sqliteStore_->deleteRecordFromTableWithName(kAPMConditionalPropertiesTable, "name", name,
                                                     error);
}

std::optional<Properties> APMDatabase::timedOutConditionalUserPropertiesWithError(
    platform::ErrorRef* error) {
  return conditionalUserPropertiesWithCondition(
      "active=0 and abs(? - creation_timestamp) > trigger_timeout",
      {platform::Clock::current()->now()}, error);
}

std::optional<Properties> APMDatabase::expiredConditionalUserPropertiesWithError(
    platform::ErrorRef* error) {
  return conditionalUserPropertiesWithCondition(
      "active=1 and abs(? - triggered_timestamp) > time_to_live",
      {platform::Clock::current()->now()}, error);
}

std::optional<Properties> APMDatabase::triggeredConditionalUserPropertiesWithEventName(
    const std::string& eventName, platform::ErrorRef* error) {
  if (eventName.empty()) {
    APMSetError(error, kArgument,
                "Received nil/empty event name for querying triggered conditional user properties");
    return std::nullopt;
  }
  return conditionalUserPropertiesWithCondition(
      "active=0 and trigger_event_name=? and abs(? - creation_timestamp) <= trigger_timeout",
      {eventName, platform::Clock::current()->now()}, error);
}

std::optional<Properties> APMDatabase::conditionalUserPropertiesWithPrefix(
    const std::string& prefix, const std::string& origin, platform::ErrorRef* error) {
  std::string condition;
  APMSqlParameters parameters;
  // Both are matched literally: "_" or "%" in a name or an origin are
  // ordinary characters here.
  if (!origin.empty()) {
    condition = "origin LIKE ? ESCAPE '!'";
    parameters.emplace_back(APMLikeLiteral(origin));
  }
  if (!prefix.empty()) {
    if (!condition.empty()) condition += " AND ";
    condition += "name LIKE ? || '%' ESCAPE '!'";
    parameters.emplace_back(APMLikeLiteral(prefix));
  }
  if (condition.empty()) condition = "1 == 1";
  return conditionalUserPropertiesWithCondition(condition, parameters, error);
}

std::optional<Properties> APMDatabase::conditionalUserPropertiesWithCondition(
    const std::string& condition, const APMSqlParameters& parameterValues,
    platform::ErrorRef* error) {
  if (condition.empty()) {
    APMSetError(error, kArgument, "Received empty condition for querying a conditional user property");
    return std::nullopt;
  }
  auto records = sqliteStore_->recordsForQuery(
      std::string("SELECT rowid, * FROM ") + kAPMConditionalPropertiesTable + " WHERE " + condition,
      parameterValues, error);
  if (!records) return std::nullopt;
  Properties properties;
  properties.reserve(records->size());
  for (const APMRecord& record : *records) properties.push_back(propertyFromRecord(record));
  return properties;
}
