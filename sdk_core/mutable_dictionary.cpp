#include "sdk_core/mutable_dictionary.h"

GULMutableDictionary::GULMutableDictionary()
    : queue_(platform::DispatchQueue::create("GULMutableDictionary")),
      objects_(std::make_shared<platform::Object::Dictionary>()) {}

platform::Object GULMutableDictionary::objectForKeyedSubscript(const std::string& key) const {
  platform::Object value;
  queue_->sync([&] {
    auto it = objects_->find(key);
    if (it != objects_->end()) value = it->second;
  });
  return value;
}

void GULMutableDictionary::setObject(platform::Object object, std::string key) {
  queue_->async([objects = objects_, object = std::move(object), key = std::move(key)] {
    if (object.isNil()) {
      objects->erase(key);
    } else {
      objects->insert_or_assign(key, object);
    }
  });
}

void GULMutableDictionary::removeAllObjects() {
  queue_->async([objects = objects_] { objects->clear(); });
}

platform::Object::Dictionary GULMutableDictionary::dictionary() const {
  platform::Object::Dictionary copy;
  queue_->sync([&] { copy = *objects_; });
  return copy;
}
