#include "measurement/storage/system/data_additions.h"

#include <string_view>

#include "platform/crypto.h"

namespace {

int64_t lastEightBigEndian(const uint8_t* bytes, size_t count) {
  const size_t start = count > 8 ? count - 8 : 0;
  uint64_t value = 0;
  for (size_t i = start; i < count; ++i) value = (value << 8) | bytes[i];
  return static_cast<int64_t>(value);
}

platform::Md5Digest digestOf(const platform::Bytes& data) {
  return platform::md5(
      std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

}  // namespace

platform::Bytes apm_MD5Data(const platform::Bytes& data) {
  auto digest = digestOf(data);
  return platform::Bytes(digest.begin(), digest.end());
}

int64_t apm_64LeastSignificantBits(const platform::Bytes& data) {
  return lastEightBigEndian(data.data(), data.size());
}

int64_t apm_64LSBMD5(const platform::Bytes& data) {
  auto digest = digestOf(data);
  return lastEightBigEndian(digest.data(), digest.size());
}
