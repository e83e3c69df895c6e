#include "measurement/script/object_manager.h"

#include <algorithm>
#include <atomic>

#include "measurement/script/scope.h"

namespace {

// Epochs are process-wide so that no two collections, of one runtime or of
// several, ever share one; 0 means "never marked".
uint32_t nextEpoch() {
  static std::atomic<uint32_t> epoch{0};
  uint32_t next = epoch.fetch_add(1, std::memory_order_relaxed) + 1;
  while (next == 0) next = epoch.fetch_add(1, std::memory_order_relaxed) + 1;
  return next;
}

}  // namespace

void APMPMarker::mark(const APMPRuntimeValue& value) {
  switch (value.type()) {
    case APMPRuntimeValue::Type::Map:
    case APMPRuntimeValue::Type::Function:
    case APMPRuntimeValue::Type::Array:
    case APMPRuntimeValue::Type::Return:
      mark(value.cell());
      break;
    case APMPRuntimeValue::Type::String:
      if (measuring_) mark(value.cell());
      break;
    default:
      break;
  }
}

void APMPMarker::mark(APMPCell* cell) {
  if (!cell || cell->markEpoch() == epoch_) return;
  cell->setMarkEpoch(epoch_);
  pending_.push_back(cell);
}

void APMPMarker::drain(std::vector<APMPCell*>* visited) {
  while (!pending_.empty()) {
    APMPCell* cell = pending_.back();
    pending_.pop_back();
    if (visited) visited->push_back(cell);
    if (measuring_) reachedBytes_ += cell->heldBytes();
    cell->markChildren(*this);
  }
}

constinit thread_local APMPActiveValues* APMPActiveValues::top_ = nullptr;

void APMPActiveValues::markAll(APMPMarker& marker) {
  for (const APMPActiveValues* frame = top_; frame; frame = frame->previous_) {
    marker.mark(frame->cell_);
    for (size_t i = 0; i < frame->count_; ++i) marker.mark(frame->values_[i]);
  }
}

std::weak_ptr<const void> APMPMarkable::liveness() {
  if (!liveness_) liveness_ = std::make_shared<char>(0);
  return liveness_;
}

APMPCollectableValue::~APMPCollectableValue() {
  if (manager_) manager_->forget(this);
}

APMPObjectManager::~APMPObjectManager() {
  for (APMPCollectableValue* object : objects_) {
    if (object) object->manager_ = nullptr;
  }
}

void APMPObjectManager::addRoot(APMPMarkable* root) {
  if (!root) return;
  roots_.push_back(Root{root, root->liveness()});
}

void APMPObjectManager::addObject(APMPCollectableValue* object) {
  if (!object || object->manager_) return;
  object->manager_ = this;
  object->trackIndex_ = static_cast<uint32_t>(objects_.size());
  objects_.push_back(object);
}

void APMPObjectManager::forget(APMPCollectableValue* object) noexcept {
  if (object->trackIndex_ < objects_.size() && objects_[object->trackIndex_] == object) {
    objects_[object->trackIndex_] = nullptr;
  }
}

void APMPObjectManager::compact() {
  size_t kept = 0;
  for (APMPCollectableValue* object : objects_) {
    if (!object) continue;
    object->trackIndex_ = static_cast<uint32_t>(kept);
    objects_[kept++] = object;
  }
  objects_.resize(kept);
  std::erase_if(roots_, [](const Root& root) { return root.liveness.expired(); });
}

void APMPObjectManager::markRoots(APMPMarker& marker) {
  for (const Root& root : roots_) {
    if (!root.liveness.expired()) root.markable->mark(marker);
  }
}

size_t APMPObjectManager::collect(bool measuring) {
  // What the sweep frees is this runtime's, whoever collects.
  const APMPCellMemory::Counting counting(&memoryAccount_);
  APMPMarker marker(nextEpoch(), std::move(markRoom_), measuring);
  markRoots(marker);
  APMPActiveValues::markAll(marker);
  marker.drain();
  markRoom_ = marker.takeRoom();
  // Sweeping may free values (the index then reads null) but never tracks
  // new ones, so the list only shrinks under this walk.
  for (size_t i = 0; i < objects_.size(); ++i) {
    APMPCollectableValue* object = objects_[i];
    if (!object || object->markEpoch() == marker.epoch()) continue;
    APMPRef<APMPCollectableValue> keep(object);
    object->sweep();
  }
  compact();
  return marker.reachedBytes();
}

void APMPObjectManager::releaseAll() {
  const APMPCellMemory::Counting counting(&memoryAccount_);
  APMPMarker marker(nextEpoch());
  markRoots(marker);
  std::vector<APMPCell*> reached;
  marker.drain(&reached);
  // Hold everything first: sweeping one cell may free another on the list.
  std::vector<APMPRef<APMPCell>> held;
  held.reserve(reached.size() + objects_.size());
  for (APMPCell* cell : reached) held.emplace_back(cell);
  for (APMPCollectableValue* object : objects_) {
    if (object) held.emplace_back(object);
  }
  for (const APMPRef<APMPCell>& cell : held) cell->sweep();
  held.clear();
  compact();
}

std::vector<APMPCollectableValue*> APMPObjectManager::trackedObjects() const {
  std::vector<APMPCollectableValue*> live;
  for (APMPCollectableValue* object : objects_) {
    if (object) live.push_back(object);
  }
  return live;
}

std::vector<APMPMarkable*> APMPObjectManager::roots() const {
  std::vector<APMPMarkable*> live;
  for (const Root& root : roots_) {
    if (!root.liveness.expired()) live.push_back(root.markable);
  }
  return live;
}

APMPRef<APMPFunctionValue> APMPObjectManager::functionValueWithFunctionName(
    std::u16string functionName, std::vector<std::u16string> parameterNames,
    std::vector<APMPRuntimeValue> statements, APMPRef<APMPScope> definingScope) {
  APMPObjectManager* manager = definingScope ? definingScope->objectManager() : nullptr;
  auto function = APMPMake<APMPFunctionValue>(std::move(functionName), std::move(parameterNames),
                                              std::move(statements), std::move(definingScope));
  if (manager) manager->addObject(function.get());
  return function;
}

APMPRef<APMPMapValue> APMPObjectManager::mapValueWithScope(APMPScope& scope) {
  auto map = APMPMake<APMPMapValue>();
  if (APMPObjectManager* manager = scope.objectManager()) manager->addObject(map.get());
  return map;
}

APMPRef<APMPArrayValue> APMPObjectManager::arrayValueWithScope(APMPScope& scope) {
  return arrayValueWithArray({}, scope);
}

APMPRef<APMPArrayValue> APMPObjectManager::arrayValueWithArray(std::vector<APMPRuntimeValue> elements,
                                                               APMPScope& scope) {
  auto array = APMPMake<APMPArrayValue>(std::move(elements));
  if (APMPObjectManager* manager = scope.objectManager()) manager->addObject(array.get());
  return array;
}

APMPRef<APMPArrayValue> APMPObjectManager::subarrayWithArray(const APMPArrayValue& array, size_t location,
                                                             size_t length, APMPScope& scope) {
  const APMPArrayValue::Elements& elements = array.elements();
  location = std::min(location, elements.size());
  length = std::min(length, elements.size() - location);
  return arrayValueWithArray(std::vector<APMPRuntimeValue>(elements.begin() + static_cast<ptrdiff_t>(location),
                                                           elements.begin() + static_cast<ptrdiff_t>(location + length)),
                             scope);
}
