// `APMRemoteSettingsCache`: the settings of one measurement configuration,
// as received, and the answers the readers worked out from them.
//
// Each configuration parse makes a new cache: an immutable map from key to
// what the configuration sent (a text, or a number the parse put in) and an
// empty memo. `APMRemoteConfig` swaps it in whole with the rest of the
// configuration, so a reader sees one configuration's settings or the next
// one's, never a mix. A reader memoises its answer in the cache it read
// from; a memo written into a cache that has been replaced meanwhile is
// dropped with it, so no answer outlives its configuration.
//
// Thread-safe: any thread may read and memoise.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/object.h"

class APMRemoteSettingsCache {
 public:
  using Entries = std::map<std::string, platform::Object, std::less<>>;

  explicit APMRemoteSettingsCache(Entries received) : received_(std::move(received)) {}

  // The memoised answer, else the received value; nil when neither.
  platform::Object objectForKey(std::string_view key) const;
  // What the configuration sent for the key (never a memo); nil if none.
  platform::Object receivedObjectForKey(std::string_view key) const;
  // Remembers the answer for the key; the received value is kept as sent.
  void memoise(std::string_view key, platform::Object value) const;

  const Entries& received() const { return received_; }

 private:
  const Entries received_;
  mutable std::mutex mutex_;
  mutable Entries memo_;
};
