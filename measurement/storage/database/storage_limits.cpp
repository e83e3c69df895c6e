#include "measurement/storage/database/storage_limits.h"

// Until the remote configuration serves them, the settings' defaults are
// the limits in force.
APMStorageLimits APMCurrentStorageLimits() {
  return APMStorageLimits{};
}
