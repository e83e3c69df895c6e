// Throughput of the wire codec's varint and length-delimited paths, each
// reported with "speed_vs_memcpy", its speed ratio against a plain memcpy of
// the same bytes measured in the same run: memcpy's time over ours (1.0
// would be memcpy speed, 0.1 ten times its time).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "bench/ratio_reporter.h"
#include "measurement/messages/wire_codec.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Seconds one memcpy of `bytes` takes, averaged over at least 50 ms.
double memcpySeconds(const Bytes& bytes) {
  Bytes copy(bytes.size());
  size_t rounds = 0;
  const auto start = Clock::now();
  do {
    for (int i = 0; i < 64; ++i) {
      memcpy(copy.data(), bytes.data(), bytes.size());
      benchmark::DoNotOptimize(copy.data());
      benchmark::ClobberMemory();
    }
    rounds += 64;
  } while (secondsSince(start) < 0.05);
  return secondsSince(start) / static_cast<double>(rounds);
}

template <typename Round>
void runAgainstMemcpy(benchmark::State& state, const Bytes& bytes, Round round) {
  const double baseline = memcpySeconds(bytes);
  const auto start = Clock::now();
  for (auto _ : state) round();
  const double perRound = secondsSince(start) / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.counters["speed_vs_memcpy"] = speedRatio(baseline, perRound);
}

// 4096 values of every varint length, as a field mix would give.
std::vector<uint64_t> varintValues() {
  std::vector<uint64_t> values;
  uint64_t state = 0x9E3779B97F4A7C15u;
  for (int i = 0; i < 4096; ++i) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    values.push_back(state >> (state % 64));
  }
  return values;
}

Bytes encodeVarints(const std::vector<uint64_t>& values) {
  Bytes bytes(values.size() * 10);
  pb_ostream stream = pb_ostream_from_buffer(bytes.data(), bytes.size());
  for (uint64_t value : values) pb_encode_varint(&stream, value);
  bytes.resize(stream.bytes_written);
  return bytes;
}

void BM_VarintDecode(benchmark::State& state) {
  const Bytes bytes = encodeVarints(varintValues());
  runAgainstMemcpy(state, bytes, [&] {
    pb_istream stream = pb_istream_from_buffer(bytes.data(), bytes.size());
    uint64_t value = 0;
    while (stream.bytes_left > 0) {
      if (!pb_decode_varint(&stream, &value)) break;
      benchmark::DoNotOptimize(value);
    }
  });
}

void BM_VarintEncode(benchmark::State& state) {
  const std::vector<uint64_t> values = varintValues();
  const Bytes bytes = encodeVarints(values);
  Bytes output(bytes.size());
  runAgainstMemcpy(state, bytes, [&] {
    pb_ostream stream = pb_ostream_from_buffer(output.data(), output.size());
    for (uint64_t value : values) pb_encode_varint(&stream, value);
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  });
}

// 256 length-delimited fields (key, length, 64 bytes of text).
constexpr size_t kTextLength = 64;

Bytes encodeTexts() {
  const Bytes text(kTextLength, 'a');
  Bytes bytes(256 * (kTextLength + 4));
  pb_ostream stream = pb_ostream_from_buffer(bytes.data(), bytes.size());
  for (int i = 0; i < 256; ++i) {
    pb_encode_tag(&stream, kPbWireLengthDelimited, 1);
    pb_encode_string(&stream, text.data(), text.size());
  }
  bytes.resize(stream.bytes_written);
  return bytes;
}

void BM_LengthDelimitedDecode(benchmark::State& state) {
  const Bytes bytes = encodeTexts();
  uint8_t text[kTextLength];
  runAgainstMemcpy(state, bytes, [&] {
    pb_istream stream = pb_istream_from_buffer(bytes.data(), bytes.size());
    uint32_t key;
    while (stream.bytes_left > 0) {
      pb_istream substream;
      if (!pb_decode_varint32_eof(&stream, &key, nullptr) ||
          !pb_make_string_substream(&stream, &substream) ||
          !pb_read(&substream, text, substream.bytes_left) ||
          !pb_close_string_substream(&stream, &substream)) {
        break;
      }
      benchmark::DoNotOptimize(text);
    }
  });
}

void BM_LengthDelimitedEncode(benchmark::State& state) {
  const Bytes bytes = encodeTexts();
  const Bytes text(kTextLength, 'a');
  Bytes output(bytes.size());
  runAgainstMemcpy(state, bytes, [&] {
    pb_ostream stream = pb_ostream_from_buffer(output.data(), output.size());
    for (int i = 0; i < 256; ++i) {
      pb_encode_tag(&stream, kPbWireLengthDelimited, 1);
      pb_encode_string(&stream, text.data(), text.size());
    }
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  });
}

BENCHMARK(BM_VarintDecode);
BENCHMARK(BM_VarintEncode);
BENCHMARK(BM_LengthDelimitedDecode);
BENCHMARK(BM_LengthDelimitedEncode);

}  // namespace

int main(int argc, char** argv) { return runPairedBenchmarks(argc, argv, {}); }
