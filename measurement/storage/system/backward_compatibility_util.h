// `APMBackwardCompatibilityUtil`: switches off the legacy measurement class
// "ZERIderurivedu" when an app still carries it, so that the two do not
// both measure. The legacy class is found through APMClassRegistry (a class
// that is not registered does not exist for this purpose). Any thread.
#pragma once

class APMBackwardCompatibilityUtil {
 public:
  // When a class named "ZERIderurivedu" is registered, offers a shared
  // instance and lets instances be enabled, and its shared instance is
  // present: disables that instance and answers YES. NO in every other
  // case. The engine logs "ZERIderurivedu has been disabled" on YES.
  static bool disableZERIderurivedu();

  // The two operations sent to the legacy class, named here as its
  // interface; this class itself has no instance and nothing to enable.
  static void* sharedInstance() { return nullptr; }
  void setIsEnabled(bool) {}
};
