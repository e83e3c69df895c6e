// The remote settings the raw-event and queue tables obey, gathered in one
// value so that the database reads them in one place.
//
// `APMCurrentStorageLimits` answers the settings of the configuration in
// force (`APMMeasurement::remoteConfig`); a database may be given another
// source (tests pin small limits that way). Any thread may call it. The
// member defaults are the settings' defaults.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>

struct APMStorageLimits {
  // "measurement.store.max_stored_events_per_app": raw events kept at most.
  int64_t maxEventsStored = 100'000;
  // "measurement.upload.max_queue_time", seconds: raw events and bundles
  // further than this from now (past or future) are stale.
  double maxQueueTime = 2'419'200;
  // "measurement.upload.stale_data_deletion_interval", seconds between two
  // stale-data purges.
  double databaseDeleteStaleBundlesInterval = 86'400;

  // Whether a time (seconds since 1970) is stale at `now`: the stale-data
  // purge's condition, which its SQL states again row by row.
  bool isStale(double time, double now) const { return std::fabs(time - now) > maxQueueTime; }
};

using APMStorageLimitsSource = std::function<APMStorageLimits()>;

APMStorageLimits APMCurrentStorageLimits();
