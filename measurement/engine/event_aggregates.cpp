#include "measurement/engine/event_aggregates.h"

#include "measurement/engine/data_type_validator.h"

std::shared_ptr<APMEventAggregates> APMEventAggregates::initWithName(std::string name,
                                                                     int32_t lifetimeCount,
                                                                     int32_t currentBundleCount,
                                                                     int32_t currentSessionCount,
                                                                     double lastFireTimestamp) {
  if (!APMDataTypeValidator::isValidInternalEventName(name)) return nullptr;
  if (lifetimeCount < 0 || currentBundleCount < 0 || currentSessionCount < 0) return nullptr;
  return std::make_shared<APMEventAggregates>(std::move(name), lifetimeCount, currentBundleCount,
                                              currentSessionCount, lastFireTimestamp);
}
