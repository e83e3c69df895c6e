#include "measurement/storage/system/backward_compatibility_util.h"

#include "measurement/storage/system/class_registry.h"

bool APMBackwardCompatibilityUtil::disableZERIderurivedu() {
  auto legacy = APMClassRegistry::classNamed("ZERIderurivedu");
  if (!legacy || !legacy->sharedInstance || !legacy->setIsEnabled) return false;
  auto instance = legacy->sharedInstance();
  if (!instance) return false;
  legacy->setIsEnabled(instance, false);
  return true;
}
