// The classes that code may look up by name at run time.
//
// C++ cannot find a class from its name or ask it what it responds to, so
// a class that wants to be found registers itself here under its name with
// the operations it offers. An empty operation means the class does not
// respond to it. The registry is process-wide; every function may be called
// from any thread, and the operations are called without the registry's lock
// held.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

struct APMRegisteredClass {
  // The class's shared instance; may answer null.
  std::function<std::shared_ptr<void>()> sharedInstance;
  // Enables or disables an instance made by `sharedInstance`.
  std::function<void(const std::shared_ptr<void>& instance, bool enabled)> setIsEnabled;
};

class APMClassRegistry {
 public:
  // Registers (or replaces) the class called `name`.
  static void registerClass(const std::string& name, APMRegisteredClass registered);
  static void unregisterClass(const std::string& name);
  // The class called `name`; nullopt when none is registered.
  static std::optional<APMRegisteredClass> classNamed(const std::string& name);
};
