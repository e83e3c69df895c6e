// The main_event_params table: the main event of a complex event, kept
// with the number of its child events still to process.
#include "measurement/storage/database/database.h"
#include "measurement/storage/database/table_support.h"

namespace {

constexpr long kArgument = 1;
constexpr long kUnconvertible = 3;

}  // namespace

std::optional<std::pair<std::shared_ptr<APMEvent>, int64_t>>
APMDatabase::mainEventAndChildCountPairWithEventID(int64_t eventID, platform::ErrorRef* error) {
  auto records = sqliteStore_->recordsForQuery(
      "SELECT * FROM main_event_params WHERE event_id=? LIMIT 1", {eventID}, error);
  if (!records || records->empty()) return std::nullopt;
  const APMRecord& record = records->front();
  const platform::Object* stored = record.find("main_event");
  if (!stored || stored->isNull()) {
    APMSetError(error, kUnconvertible, "Main event blob is nil in database");
    return std::nullopt;
  }
  std::shared_ptr<APMEvent> event = APMEventFromColumn(*stored, error);
  if (!event) return std::nullopt;
  const platform::Object count = record["children_to_process"];
  if (!count.isNumber()) {
    APMSetError(error, kUnconvertible, "Complex event does not have children count in database");
    return std::nullopt;
  }
  return std::make_pair(std::move(event), count.int64Value());
}

bool APMDatabase::updateComplexEventForAudienceEvaluationWithEventID(
    int64_t eventID, int64_t childEventCount, const std::shared_ptr<const APMEvent>& mainEvent,
    platform::ErrorRef* error) {
  if (!mainEvent) {
    APMSetError(error, kArgument, "Received nil main event");
    return false;
  }
  std::optional<platform::Bytes> blob =
      APMColumnOfEvent(*mainEvent, true, {kArgument, "Cannot create the main event blob"}, error);
  if (!blob) return false;
  APMRecord record{{"event_id", eventID},
                   {"children_to_process", childEventCount},
                   {"main_event", std::move(*blob)}};
  return sqliteStore_->upsertRecord(record, kAPMMainEventParamsTable, error);
}

bool APMDatabase::deleteComplexEventForAudienceEvaluationWithEventID(int64_t eventID,
                                                                     platform::ErrorRef* error) {
  return sqliteStore_->deleteRecordsFromTableWithName(kAPMMainEventParamsTable, "event_id=?",
                                                      {eventID}, error)
      .has_value();
}
