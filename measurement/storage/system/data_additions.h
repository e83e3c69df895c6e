// Digests and fingerprints of byte strings. Pure functions; any thread.
#pragma once

#include <cstdint>

#include "platform/object.h"

// The 16-byte MD5 digest of the bytes.
platform::Bytes apm_MD5Data(const platform::Bytes& data);

// The last eight bytes (all of them when fewer) read as a big-endian
// unsigned integer and answered as int64; 0 for empty data.
int64_t apm_64LeastSignificantBits(const platform::Bytes& data);

// `apm_64LeastSignificantBits` of the MD5 digest (digest bytes 8-15): the
// fingerprint of raw-event metadata.
int64_t apm_64LSBMD5(const platform::Bytes& data);
