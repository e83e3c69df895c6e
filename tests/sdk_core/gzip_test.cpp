#include "sdk_core/gzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace {

platform::Bytes bytesOf(const std::string& text) { return platform::Bytes(text.begin(), text.end()); }

platform::Bytes repeated(size_t size) {
  platform::Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 31) % 251);
  return bytes;
}

// A zlib-framed (not gzip) stream, as a peer might send.
platform::Bytes zlibFramed(const platform::Bytes& data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  platform::Bytes out(size);
  EXPECT_EQ(compress(out.data(), &size, data.data(), static_cast<uLong>(data.size())), Z_OK);
  out.resize(size);
  return out;
}

}  // namespace

TEST(GzipTest, RoundTripsGzipAndReadsZlibFraming) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{1023}, size_t{1024}, size_t{1025}, size_t{300000}}) {
    platform::Bytes data = repeated(size);
    platform::ErrorRef error;
    auto gzipped = gul_dataByGzippingData(data, &error);
    ASSERT_TRUE(gzipped) << size;
    EXPECT_FALSE(error);
    ASSERT_GE(gzipped->size(), 18u);
    EXPECT_EQ((*gzipped)[0], 0x1f);  // gzip magic
    EXPECT_EQ((*gzipped)[1], 0x8b);
    auto inflated = gul_dataByInflatingGzippedData(*gzipped, &error);
    ASSERT_TRUE(inflated) << size;
    EXPECT_EQ(*inflated, data);
    EXPECT_FALSE(error);
  }
  platform::Bytes text = bytesOf("zlib framing is accepted too");
  EXPECT_EQ(gul_dataByInflatingGzippedData(zlibFramed(text)), text);
}

TEST(GzipTest, EmptyInputGivesNilWithoutError) {
  platform::ErrorRef error;
  EXPECT_FALSE(gul_dataByInflatingGzippedData({}, &error));
  EXPECT_FALSE(error);
}

TEST(GzipTest, CorruptAndTruncatedStreamsGiveError1025WithZlibStatus) {
  platform::ErrorRef error;
  EXPECT_FALSE(gul_dataByInflatingGzippedData(bytesOf("this is not compressed"), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "com.voraza.GULNSDataZlibErrorDomain");
  EXPECT_EQ(error->code(), 1025);
  EXPECT_EQ(error->userInfo().at("GULNSDataZlibErrorKey").int64Value(), Z_DATA_ERROR);
  EXPECT_EQ(error->localizedDescription(), "incorrect header check");

  platform::Bytes gzipped = *gul_dataByGzippingData(repeated(5000));
  platform::Bytes truncated(gzipped.begin(), gzipped.end() - 10);
  error.reset();
  EXPECT_FALSE(gul_dataByInflatingGzippedData(truncated, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 1025);
  EXPECT_EQ(error->userInfo().at("GULNSDataZlibErrorKey").int64Value(), Z_BUF_ERROR);

  // A damaged checksum is caught at the end of the stream.
  platform::Bytes damaged = gzipped;
  damaged[damaged.size() - 6] ^= 0xff;
  error.reset();
  EXPECT_FALSE(gul_dataByInflatingGzippedData(damaged, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 1025);
  EXPECT_EQ(error->userInfo().at("GULNSDataZlibErrorKey").int64Value(), Z_DATA_ERROR);

  // Without an out-parameter the failure is the same nil.
  EXPECT_FALSE(gul_dataByInflatingGzippedData(damaged));
}

TEST(GzipTest, TrailingBytesGiveError1026WithTheirCount) {
  platform::Bytes data = *gul_dataByGzippingData(bytesOf("payload"));
  for (uint8_t extra : {0, 1, 2}) data.push_back(extra);
  platform::ErrorRef error;
  EXPECT_FALSE(gul_dataByInflatingGzippedData(data, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "com.voraza.GULNSDataZlibErrorDomain");
  EXPECT_EQ(error->code(), 1026);
  EXPECT_EQ(error->userInfo().at("GULNSDataZlibRemainingBytesKey").uint64Value(), 3u);
}

TEST(GzipTest, OutputBeyondTheLimitFailsInsteadOfGrowing) {
  // 4 MiB of zeros compress to a few kilobytes: a small bomb.
  platform::Bytes bomb = *gul_dataByGzippingData(platform::Bytes(4 << 20, 0));
  ASSERT_LT(bomb.size(), 16384u);
  platform::ErrorRef error;
  EXPECT_FALSE(gulInflateGzippedDataWithLimit(bomb, 1 << 20, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 1025);
  EXPECT_EQ(error->userInfo().at("GULNSDataZlibErrorKey").int64Value(), Z_MEM_ERROR);
  // Exactly at the limit is still accepted.
  auto exact = gulInflateGzippedDataWithLimit(bomb, 4 << 20, &error);
  ASSERT_TRUE(exact);
  EXPECT_EQ(exact->size(), size_t{4} << 20);
}
