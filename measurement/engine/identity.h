// `APMIdentity`: the engine's identifier store. So far only its class
// operations that need no stored state are here.
#pragma once

#include <cstdint>

class APMIdentity {
 public:
  // The measurement library's version (11.3.0 as one number). It is sent
  // with configuration fetches as "vuv_version" and registered as the SDK
  // property version of "vav_iradadovozo" with the experiment manager.
  static constexpr int64_t vavIradadovozoLibraryVersion() { return 110300; }
};
