// `APMRemoteSettingsCache`: the settings of the current measurement
// configuration, as received, and the answers the readers worked out from
// them.
//
// Each configuration parse makes a new `Generation`: an immutable map from
// key to what the configuration sent (a text, or a number the parse put in)
// and an empty memo. The generation is swapped in whole, so a reader sees
// one configuration's settings or the next one's, never a mix. A reader
// memoises its answer in the generation it read from; a memo written into a
// generation that has been replaced meanwhile is dropped with it, so no
// answer outlives its configuration.
//
// Thread-safe: any thread may read and memoise; parses swap generations.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/object.h"

class APMRemoteSettingsCache {
 public:
  using Entries = std::map<std::string, platform::Object, std::less<>>;

  class Generation {
   public:
    explicit Generation(Entries received) : received_(std::move(received)) {}

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

  APMRemoteSettingsCache() : current_(std::make_shared<Generation>(Entries())) {}

  std::shared_ptr<const Generation> current() const;
  // Swaps in a new generation made of `received`.
  void replace(Entries received);

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const Generation> current_;
};
