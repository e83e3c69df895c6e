#include "sdk_core/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

#include "platform/allocation_failures.h"

namespace {

// Window bits: 15 plus 16 writes a gzip header; 15 plus 32 accepts either
// a gzip or a zlib header when inflating.
constexpr int kGzipWindowBits = 31;
constexpr int kAutoDetectWindowBits = 47;
constexpr size_t kInflateStep = 1024;

platform::ErrorRef tooLargeError() {
  return platform::Error::make(kGULNSDataZlibErrorDomain,
                               GULNSDataZlibErrorGreaterThan32BitsToCompress);
}

platform::ErrorRef zlibError(int status, const char* message) {
  platform::Object::Dictionary info;
  info.emplace(kGULNSDataZlibErrorKey, status);
  const char* text = message ? message : zError(status);
  if (text && *text) info.emplace(platform::kLocalizedDescriptionKey, text);
  return platform::Error::make(kGULNSDataZlibErrorDomain, GULNSDataZlibErrorInternal,
                               std::move(info));
}

// The error of a failed zlib call. zlib answers a failed allocation of its
// own with Z_MEM_ERROR: memory ran out, the input may be fine.
platform::ErrorRef zlibFailure(int status, const char* message) {
  if (status == Z_MEM_ERROR) platform::noteAllocationFailure();
  return zlibError(status, message);
}

// Releases a zlib stream on every return path.
struct DeflateStream : z_stream {
  DeflateStream() : z_stream{} {}
  ~DeflateStream() { deflateEnd(this); }
};
struct InflateStream : z_stream {
  InflateStream() : z_stream{} {}
  ~InflateStream() { inflateEnd(this); }
};

}  // namespace

std::optional<platform::Bytes> gul_dataByGzippingData(const platform::Bytes& data,
                                                      platform::ErrorRef* error) {
  if (data.size() > UINT_MAX) {
    platform::setError(error, tooLargeError());
    return std::nullopt;
  }
  DeflateStream stream;
  int status = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, 8,
                            Z_DEFAULT_STRATEGY);
  if (status != Z_OK) {
    platform::setError(error, zlibFailure(status, stream.msg));
    return std::nullopt;
  }
  uLong bound = deflateBound(&stream, static_cast<uLong>(data.size()));
  if (bound > UINT_MAX) {
    platform::setError(error, tooLargeError());
    return std::nullopt;
  }
  platform::Bytes out(bound);
  // zlib's interface is not const-correct; it never writes through next_in.
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  // The output buffer holds deflateBound bytes, so one call finishes.
  status = deflate(&stream, Z_FINISH);
  if (status != Z_STREAM_END) {
    platform::setError(error, zlibFailure(status, stream.msg));
    return std::nullopt;
  }
  out.resize(stream.total_out);
  return out;
}

std::optional<platform::Bytes> gulInflateGzippedDataWithLimit(const platform::Bytes& data,
                                                              size_t maxInflatedSize,
                                                              platform::ErrorRef* error) {
  if (data.empty()) return std::nullopt;
  if (data.size() > UINT_MAX) {
    platform::setError(error, tooLargeError());
    return std::nullopt;
  }
  InflateStream stream;
  int status = inflateInit2(&stream, kAutoDetectWindowBits);
  if (status != Z_OK) {
    platform::setError(error, zlibFailure(status, stream.msg));
    return std::nullopt;
  }
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());

  platform::Bytes out;
  out.reserve(std::min(data.size() * 2, maxInflatedSize) + kInflateStep);
  Bytef step[kInflateStep];
  do {
    stream.next_out = step;
    stream.avail_out = kInflateStep;
    status = inflate(&stream, Z_NO_FLUSH);
    size_t produced = kInflateStep - stream.avail_out;
    if (produced > maxInflatedSize - out.size()) {
      platform::setError(error, zlibError(Z_MEM_ERROR, "inflated data exceed the size limit"));
      return std::nullopt;
    }
    out.insert(out.end(), step, step + produced);
  } while (status == Z_OK);

  if (status != Z_STREAM_END) {
    // A truncated stream ends here with Z_BUF_ERROR: no input left to go on.
    platform::setError(error, zlibFailure(status, stream.msg));
    return std::nullopt;
  }
  if (stream.avail_in != 0) {
    platform::Object::Dictionary info;
    info.emplace(kGULNSDataZlibRemainingBytesKey, static_cast<uint64_t>(stream.avail_in));
    platform::setError(error, platform::Error::make(kGULNSDataZlibErrorDomain,
                                                    GULNSDataZlibErrorDataRemaining,
                                                    std::move(info)));
    return std::nullopt;
  }
  return out;
}

std::optional<platform::Bytes> gul_dataByInflatingGzippedData(const platform::Bytes& data,
                                                              platform::ErrorRef* error) {
  return gulInflateGzippedDataWithLimit(data, kGULMaxInflatedSize, error);
}
