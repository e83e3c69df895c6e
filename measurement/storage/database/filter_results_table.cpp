// The audience_filter_values table: each audience's current and previous
// filter results, keyed by audience ID.
#include <set>

#include "measurement/engine/filter_result.h"
#include "measurement/storage/database/database.h"
#include "measurement/storage/database/table_support.h"

namespace {

constexpr long kArgument = 1;

std::shared_ptr<APMFilterResult> resultFromRecord(const APMRecord& record) {
  platform::Bytes currentText;
  platform::Bytes previousText;
  const platform::Bytes* current = APMBytesColumn(record, "current_results", currentText);
  const platform::Bytes* previous = APMBytesColumn(record, "previous_results", previousText);
  return std::make_shared<APMFilterResult>(
      APMInt32Column(record, "audience_id"), current ? *current : platform::Bytes(),
      previous ? std::optional<platform::Bytes>(*previous) : std::nullopt);
}

const APMDatabase::CreateDataTypeBlock<std::shared_ptr<APMFilterResult>> kResultBlock =
    [](const APMRecord& record, platform::ErrorRef*) { return resultFromRecord(record); };

// Empty for a missing result or one without current results: the store
// then refuses the empty record.
APMRecord recordOfResult(const std::shared_ptr<APMFilterResult>& result) {
  if (!result || result->currentResults().empty()) return {};
  const std::optional<platform::Bytes>& previous = result->previousResults();
  return {{"audience_id", result->audienceID()},
          {"current_results", result->currentResults()},
          {"previous_results", previous && !previous->empty() ? platform::Object(*previous)
                                                              : platform::Object::null()}};
}

}  // namespace

std::optional<std::map<int32_t, std::shared_ptr<APMFilterResult>>> APMDatabase::allFilterResults(
    platform::ErrorRef* error) {
  auto results =
      allDataTypesFromTableWithName(kAPMAudienceFilterValuesTable, kAPMNoReadLimit, error, kResultBlock);
  if (!results) return std::nullopt;
  std::map<int32_t, std::shared_ptr<APMFilterResult>> byAudience;
  for (std::shared_ptr<APMFilterResult>& result : *results) {
    byAudience.insert_or_assign(result->audienceID(), std::move(result));
  }
  return byAudience;
}

std::shared_ptr<APMFilterResult> APMDatabase::filterResultForAudienceID(int32_t audienceID,
                                                                        platform::ErrorRef* error) {
  auto results = dataTypesFromTableWithName(kAPMAudienceFilterValuesTable, "audience_id",
                                            audienceID, error, kResultBlock);
  if (!results || results->empty()) return nullptr;
  return results->front();
}

bool APMDatabase::updateFilterResults(const std::vector<std::shared_ptr<APMFilterResult>>& results,
                                      platform::ErrorRef* error) {
  if (results.empty()) {
    APMSetError(error, kArgument, "Received empty filter results to update");
    return false;
  }
  for (const std::shared_ptr<APMFilterResult>& result : results) {
    if (!sqliteStore_->upsertRecord(recordOfResult(result), kAPMAudienceFilterValuesTable, error)) {
      return false;
    }
  }
  return true;
}

bool APMDatabase::deleteFilterResults(const std::vector<std::shared_ptr<APMFilterResult>>& results,
                                      platform::ErrorRef* error) {
  if (results.empty()) {
    APMSetError(error, kArgument, "Received empty filter results to delete");
    return false;
  }
  std::set<int32_t> distinct;
  for (const std::shared_ptr<APMFilterResult>& result : results) {
    if (!result) {
      APMSetError(error, kArgument, "Received unknown type to delete filter result");
      return false;
    }
    distinct.insert(result->audienceID());
  }
  // Written from the integers themselves, so nothing but digits and signs
  // reaches the SQL text.
  std::vector<int32_t> audienceIDs(distinct.begin(), distinct.end());
  return APMDeleteRowsInChunks(
      *sqliteStore_, kAPMAudienceFilterValuesTable, audienceIDs.size(),
      [&](size_t begin, size_t end) {
        std::string list;
        for (size_t i = begin; i < end; ++i) {
          if (i > begin) list += ",";
          list += std::to_string(audienceIDs[i]);
        }
        return "audience_id IN (" + list + ")";
      },
      error);
}
