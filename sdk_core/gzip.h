// Gzip compression and inflation of byte buffers on zlib.
//
// The heartbeat payload, HTTP request bodies, stored upload bundles and the
// answers of the experiment and conversion-value services all pass through
// these two functions. Both are pure: any thread may call them at any time.
//
// Failures are errors of the domain "com.voraza.GULNSDataZlibErrorDomain":
//   1024  the input is too large for zlib's 32-bit counters;
//   1025  zlib failed; the zlib status is under "GULNSDataZlibErrorKey" and
//         zlib's message (when it gave one) is the localized description;
//   1026  the compressed stream ended before the input did; the count of
//         unread input bytes is under "GULNSDataZlibRemainingBytesKey".
#pragma once

#include <cstddef>
#include <optional>

#include "platform/error.h"
#include "platform/object.h"

inline constexpr const char* kGULNSDataZlibErrorDomain = "com.voraza.GULNSDataZlibErrorDomain";
inline constexpr const char* kGULNSDataZlibErrorKey = "GULNSDataZlibErrorKey";
inline constexpr const char* kGULNSDataZlibRemainingBytesKey = "GULNSDataZlibRemainingBytesKey";

enum GULNSDataZlibError : long {
  GULNSDataZlibErrorGreaterThan32BitsToCompress = 1024,
  GULNSDataZlibErrorInternal = 1025,
  GULNSDataZlibErrorDataRemaining = 1026,
};

// Inflated output never grows past this size. Everything this system
// inflates (upload bundles, configuration and experiment answers) is far
// smaller; the bound keeps a small hostile stream from exhausting memory.
inline constexpr size_t kGULMaxInflatedSize = size_t{256} << 20;

// Answers `data` as a gzip stream at zlib's default compression level (an
// empty input gives the 20-byte stream of no bytes), or nullopt and an error
// (1024 when the input is too large, 1025 when zlib fails).
std::optional<platform::Bytes> gul_dataByGzippingData(const platform::Bytes& data,
                                                      platform::ErrorRef* error = nullptr);

// Answers the bytes inflated from a gzip or zlib stream. Empty input gives
// nullopt without an error. A corrupt or truncated stream, or output beyond
// kGULMaxInflatedSize, gives nullopt and error 1025; bytes left after the end
// of the stream give nullopt and error 1026; oversized input gives 1024.
std::optional<platform::Bytes> gul_dataByInflatingGzippedData(const platform::Bytes& data,
                                                              platform::ErrorRef* error = nullptr);

// As gul_dataByInflatingGzippedData, with the output bound given by the
// caller instead of kGULMaxInflatedSize.
std::optional<platform::Bytes> gulInflateGzippedDataWithLimit(const platform::Bytes& data,
                                                              size_t maxInflatedSize,
                                                              platform::ErrorRef* error = nullptr);
