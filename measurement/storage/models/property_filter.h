// `APMPropertyFilter`: the filter of an audience on one user property, as
// the property filters table keeps it: audience and filter IDs, the
// property name, the encoded property-filter message and its three flags.
//
// Immutable once made; any thread may read it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "measurement/engine/audience_filter.h"
#include "platform/object.h"

class APMPropertyFilter final : public APMAudienceFilterRecord {
 public:
  // Checks nothing; `data` is the encoded property-filter message.
  APMPropertyFilter(int32_t audienceID, int32_t filterID, std::string propertyName,
                    platform::Bytes data, bool sessionScoped, bool dynamic, bool sequence)
      : APMAudienceFilterRecord(audienceID, filterID, std::move(propertyName), std::move(data),
                                sessionScoped, dynamic, sequence) {}

  const std::string& propertyName() const { return matchedName(); }
};
