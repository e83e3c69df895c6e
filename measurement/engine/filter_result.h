// `APMFilterResult`: the stored results of one audience, the encoded
// current results and, when there was an earlier evaluation, the encoded
// previous ones (both `ResultData` messages).
//
// Immutable once made; any thread may read it.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "platform/object.h"

class APMFilterResult {
 public:
  APMFilterResult(int32_t audienceID, platform::Bytes currentResults,
                  std::optional<platform::Bytes> previousResults)
      : audienceID_(audienceID),
        currentResults_(std::move(currentResults)),
        previousResults_(std::move(previousResults)) {}

  int32_t audienceID() const { return audienceID_; }
  // Empty when there are none.
  const platform::Bytes& currentResults() const { return currentResults_; }
  // Nullopt when there are none.
  const std::optional<platform::Bytes>& previousResults() const { return previousResults_; }

 private:
  int32_t audienceID_;
  platform::Bytes currentResults_;
  std::optional<platform::Bytes> previousResults_;
};
