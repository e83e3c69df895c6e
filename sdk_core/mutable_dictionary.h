// `GULMutableDictionary`: a string-keyed dictionary of `platform::Object`
// values behind its own serial queue.
//
// Reads are synchronous and writes asynchronous on that queue, so a read
// sees every write made before it from the same thread, and writes from
// several threads are applied one at a time in submission order. The
// remote configuration keeps its caches in it.
//
// Any thread may call any member. Writes still pending when the dictionary
// is destroyed are applied to storage they keep alive, then dropped.
#pragma once

#include <memory>
#include <string>

#include "platform/dispatch.h"
#include "platform/object.h"

class GULMutableDictionary {
 public:
  // An empty dictionary with a queue of its own.
  GULMutableDictionary();
  GULMutableDictionary(const GULMutableDictionary&) = delete;
  GULMutableDictionary& operator=(const GULMutableDictionary&) = delete;

  // The value of `key`, or nil when absent.
  platform::Object objectForKeyedSubscript(const std::string& key) const;
  // Stores `object` under `key`; a nil object removes the key.
  void setObject(platform::Object object, std::string key);
  void removeAllObjects();
  // A copy of the whole contents.
  platform::Object::Dictionary dictionary() const;

 private:
  std::shared_ptr<platform::DispatchQueue> queue_;
  // Touched only on queue_; pending writes hold a reference of their own.
  std::shared_ptr<platform::Object::Dictionary> objects_;
};
