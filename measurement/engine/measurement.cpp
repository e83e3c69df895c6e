#include "measurement/engine/measurement.h"

#include <mutex>
#include <utility>

namespace {

struct Engine {
  std::mutex mutex;
  std::shared_ptr<APMMeasurement> instance;
};

Engine& engine() {
  // Never destroyed: threads may still ask for the engine at exit.
  static auto* engine = new Engine();
  return *engine;
}

}  // namespace

bool APMMeasurement::hasSharedInstance() { return sharedInstance() != nullptr; }

std::shared_ptr<APMMeasurement> APMMeasurement::sharedInstance() {
  std::lock_guard<std::mutex> lock(engine().mutex);
  return engine().instance;
}

void APMMeasurement::setSharedInstance(std::shared_ptr<APMMeasurement> instance) {
  // Declared before the guard, so the previous engine is released after
  // the lock: its teardown may ask for the engine again.
  std::shared_ptr<APMMeasurement> previous;
  std::lock_guard<std::mutex> lock(engine().mutex);
  previous = std::exchange(engine().instance, std::move(instance));
}

std::shared_ptr<APMIdentifiers> APMIdentifiers::sharedInstance() {
  static auto* instance = new std::shared_ptr<APMIdentifiers>(std::make_shared<APMIdentifiers>());
  return *instance;
}

std::string APMIdentifiers::origin() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return origin_;
}

void APMIdentifiers::setOrigin(std::string origin) {
  std::lock_guard<std::mutex> lock(mutex_);
  origin_ = std::move(origin);
}
