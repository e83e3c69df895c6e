// The event_filters and property_filters tables: one row per audience
// filter of the measurement configuration, keyed by (audience_id,
// filter_id), with the filter's encoded message.
#include <algorithm>

#include "measurement/engine/audience_filter.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/database/database.h"
#include "measurement/storage/database/table_support.h"
#include "measurement/storage/models/property_filter.h"

namespace {

constexpr long kArgument = 1;
constexpr long kUnconvertible = 3;

// What differs between the two tables: names, texts and where the flags
// sit in the stored message.
struct FilterTable {
  const char* table;
  const char* nameColumn;
  const char* emptyNameQuery;
  const char* emptyToUpdate;
  const char* emptyElement;
  const char* emptyName;
  const char* emptyData;
  const char* emptyToDelete;
  const char* unknownToDelete;
};

constexpr FilterTable kEventFilters = {
    kAPMEventFiltersTable,
    "event_name",
    "Received empty event name for getting event filters",
    "Received empty event filters to update",
    "Received empty event filter for getting dictionary representation",
    "Received event filter with empty event name for getting dictionary representation",
    "Received event filter with empty data for getting dictionary representation",
    "Received empty event filters to delete",
    "Received unknown type to delete event filter",
};

constexpr FilterTable kPropertyFilters = {
    kAPMPropertyFiltersTable,
    "property_name",
    "Received empty property name for getting property filters",
    "Received empty property filters to update",
    "Received empty property filter for getting dictionary representation",
    "Received property filter with empty property name for getting dictionary representation",
    "Received property filter with empty data for getting dictionary representation",
    "Received empty property filters to delete",
    "Received unknown type to delete property filter",
};

struct Flags {
  bool sessionScoped = false;
  bool dynamic = false;
  bool sequence = false;
};

// The flags of the stored message; all NO when it does not decode.
template <typename Message>
Flags flagsOf(const platform::Bytes& data, int32_t sessionScoped, int32_t dynamic,
              int32_t sequence) {
  std::shared_ptr<Message> message = Message::initWithBuffer(data);
  if (!message) return {};
  return {APMNanoGetBool(message, sessionScoped), APMNanoGetBool(message, dynamic),
          APMNanoGetBool(message, sequence)};
}

Flags flagsOfStored(const APMEventFilter*, const platform::Bytes& data) {
  return flagsOf<APMPBEventFilter>(data, EventFilterField::session_scoped,
                                   EventFilterField::dynamic, EventFilterField::sequence);
}

Flags flagsOfStored(const APMPropertyFilter*, const platform::Bytes& data) {
  return flagsOf<APMPBPropertyFilter>(data, PropertyFilterField::session_scoped,
                                      PropertyFilterField::dynamic, PropertyFilterField::sequence);
}

template <typename Filter>
std::shared_ptr<Filter> filterFromRecord(const APMRecord& record, const FilterTable& kind) {
  platform::Bytes text;
  const platform::Bytes* stored = APMBytesColumn(record, "data", text);
  platform::Bytes data = stored ? *stored : platform::Bytes();
  Flags flags = flagsOfStored(static_cast<const Filter*>(nullptr), data);
  return std::make_shared<Filter>(APMInt32Column(record, "audience_id"),
                                  APMInt32Column(record, "filter_id"),
                                  APMTextColumn(record, kind.nameColumn), std::move(data),
                                  flags.sessionScoped, flags.dynamic, flags.sequence);
}

template <typename Filter>
std::optional<std::vector<std::shared_ptr<Filter>>> filtersNamed(APMDatabase& database,
                                                                 const std::string& name,
                                                                 const FilterTable& kind,
                                                                 platform::ErrorRef* error) {
  if (name.empty()) {
    APMSetError(error, kArgument, kind.emptyNameQuery);
    return std::nullopt;
  }
  return database.dataTypesFromTableWithName<std::shared_ptr<Filter>>(
      kind.table, kind.nameColumn, name, error,
      [&kind](const APMRecord& record, platform::ErrorRef*) {
        return filterFromRecord<Filter>(record, kind);
      });
}

template <typename Filter>
bool updateFilters(APMSqliteStore& store, const std::vector<std::shared_ptr<Filter>>& filters,
                   const FilterTable& kind, platform::ErrorRef* error) {
  if (filters.empty()) {
    APMSetError(error, kArgument, kind.emptyToUpdate);
    return false;
  }
  for (const std::shared_ptr<Filter>& filter : filters) {
    const char* refusal = !filter                         ? kind.emptyElement
                          : filter->matchedName().empty() ? kind.emptyName
                          : filter->data().empty()        ? kind.emptyData
                                                          : nullptr;
    if (refusal) {
      APMSetError(error, kUnconvertible, refusal);
      return false;
    }
    APMRecord record{{"audience_id", filter->audienceID()},
                     {"filter_id", filter->filterID()},
                     {kind.nameColumn, filter->matchedName()},
                     {"data", filter->data()},
                     {"session_scoped", filter->isSessionScoped() ? 1 : 0}};
    if (!store.upsertRecord(record, kind.table, error)) return false;
  }
  return true;
}

template <typename Filter>
bool deleteFilters(APMSqliteStore& store, const std::vector<std::shared_ptr<Filter>>& filters,
                   const FilterTable& kind, platform::ErrorRef* error) {
  if (filters.empty()) {
    APMSetError(error, kArgument, kind.emptyToDelete);
    return false;
  }
  if (std::find(filters.begin(), filters.end(), nullptr) != filters.end()) {
    APMSetError(error, kArgument, kind.unknownToDelete);
    return false;
  }
  return APMDeleteRowsInChunks(store, kind.table, filters.size(), [&](size_t begin, size_t end) {
    std::string condition;
    for (size_t i = begin; i < end; ++i) {
      if (i > begin) condition += " OR ";
      condition += "(audience_id=" + std::to_string(filters[i]->audienceID()) +
                   " AND filter_id=" + std::to_string(filters[i]->filterID()) + ")";
    }
    return condition;
  }, error);
}

}  // namespace

std::optional<std::vector<int32_t>> APMDatabase::allAudienceIDs(platform::ErrorRef* error) {
  auto records = sqliteStore_->recordsForQuery(
      "SELECT audience_id FROM event_filters UNION SELECT audience_id FROM property_filters", {},
      error);
  if (!records) return std::nullopt;
  std::vector<int32_t> audienceIDs;
  audienceIDs.reserve(records->size());
  for (const APMRecord& record : *records) {
    if (!record["audience_id"].isNumber()) {
      APMSetError(error, kArgument, "Received nil audience ID for querying all audience IDs");
      return std::nullopt;
    }
    audienceIDs.push_back(APMInt32Column(record, "audience_id"));
  }
  return audienceIDs;
}

std::optional<std::vector<std::shared_ptr<APMEventFilter>>> APMDatabase::eventFiltersForEventName(
    const std::string& eventName, platform::ErrorRef* error) {
  return filtersNamed<APMEventFilter>(*this, eventName, kEventFilters, error);
}

std::optional<std::vector<std::shared_ptr<APMPropertyFilter>>>
APMDatabase::propertyFiltersForPropertyName(const std::string& propertyName,
                                            platform::ErrorRef* error) {
  return filtersNamed<APMPropertyFilter>(*this, propertyName, kPropertyFilters, error);
}

std::optional<std::map<int32_t, std::vector<int32_t>>> APMDatabase::allSessionScopedFilters(
    platform::ErrorRef* error) {
  auto records = sqliteStore_->recordsForQuery(
      "SELECT audience_id, filter_id FROM event_filters WHERE session_scoped = 1 UNION SELECT "
      "audience_id, filter_id FROM property_filters WHERE session_scoped = 1",
      {}, error);
  if (!records) return std::nullopt;
  std::map<int32_t, std::vector<int32_t>> filters;
  for (const APMRecord& record : *records) {
    filters[APMInt32Column(record, "audience_id")].push_back(APMInt32Column(record, "filter_id"));
  }
  return filters;
}

bool APMDatabase::updateEventFilters(const std::vector<std::shared_ptr<APMEventFilter>>& filters,
                                     platform::ErrorRef* error) {
  return updateFilters(*sqliteStore_, filters, kEventFilters, error);
}

bool APMDatabase::updatePropertyFilters(
    const std::vector<std::shared_ptr<APMPropertyFilter>>& filters, platform::ErrorRef* error) {
  return updateFilters(*sqliteStore_, filters, kPropertyFilters, error);
}

bool APMDatabase::deleteEventFilters(const std::vector<std::shared_ptr<APMEventFilter>>& filters,
                                     platform::ErrorRef* error) {
  return deleteFilters(*sqliteStore_, filters, kEventFilters, error);
}

bool APMDatabase::deletePropertyFilters(
    const std::vector<std::shared_ptr<APMPropertyFilter>>& filters, platform::ErrorRef* error) {
  return deleteFilters(*sqliteStore_, filters, kPropertyFilters, error);
}

bool APMDatabase::deleteAllEventFilters(platform::ErrorRef* error) {
  return sqliteStore_->deleteAllRecordsFromTableWithName(kAPMEventFiltersTable, error);
}

bool APMDatabase::deleteAllPropertyFilters(platform::ErrorRef* error) {
  return sqliteStore_->deleteAllRecordsFromTableWithName(kAPMPropertyFiltersTable, error);
}
