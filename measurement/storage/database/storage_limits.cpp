#include "measurement/storage/database/storage_limits.h"

#include "measurement/engine/measurement.h"
#include "measurement/storage/config/remote_config.h"

APMStorageLimits APMCurrentStorageLimits() {
  std::shared_ptr<APMRemoteConfig> config = APMMeasurement::remoteConfig();
  return APMStorageLimits{config->maxEventsStored(), config->maxQueueTime(),
                          config->databaseDeleteStaleBundlesInterval()};
}
