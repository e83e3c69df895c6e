// Throughput of realistic upload batches: building one through the
// accessors, and encoding, decoding and deep-copying it, on a large batch
// (20 bundles, 1,000 events, 10,000 parameters, about 297 KB) and a small
// one (one bundle of 10 events, about 3 KB). Each figure is MB/s of the
// batch's encoded bytes, the median of many rounds.
//
// Where the distribution's protobuf-c is installed, the same bytes go
// through it in the same run, round by round in turn with ours, over
// messages_peer.proto: decode and encode then also report the peer's MB/s
// and "speed_vs_<peer>", the speed ratio: its time over ours, above 1 when
// ours is faster. Otherwise "speed_vs_memcpy" is the speed ratio against a
// memcpy of the same bytes.
#include "bench/ratio_reporter.h"
#include "measurement/messages/message_values.h"
#include "measurement/messages/message_wrappers.h"
#include "measurement/messages/nano_accessors.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#ifdef APM_BENCH_PROTOBUF_C
#include "messages_peer.pb-c.h"
#endif

namespace {

using messages::millisecondsFromSeconds;

// Parameters of an event, as an app would log them.
constexpr const char* kParamNames[] = {"_o",          "engagement_time_msec", "_et",
                                       "screen_class",          "session_id",    "value",
                                       "item_category",         "currency",      "_sn",
                                       "campaign_source"};

std::shared_ptr<APMPBEvent> makeEvent(int index, double now) {
  auto event = APMPBEvent::initWithBuffer(nullptr);
  std::vector<APMNanoValue> params;
  for (int p = 0; p < 10; ++p) {
    auto param = APMPBEventParam::initWithBuffer(nullptr);
    APMNanoSetString(param, EventParamField::name, kParamNames[p]);
    if (p % 3 == 0) {
      APMNanoSetString(param, EventParamField::string_value,
                       "value of event " + std::to_string(index));
    } else if (p % 3 == 1) {
      APMNanoSetInt64(param, EventParamField::int_value, 1000 * index + p);
    } else {
      APMNanoSetDouble(param, EventParamField::double_value, index * 0.25 + p);
    }
    params.push_back(param);
  }
  APMNanoSetRepeated(event, EventField::params, &params);
  APMNanoSetString(event, EventField::name, index % 2 ? "screen_view" : "user_engagement");
  APMNanoSetInt64(event, EventField::timestamp_millis, millisecondsFromSeconds(now + index));
  APMNanoSetInt64(event, EventField::previous_timestamp_millis, millisecondsFromSeconds(now));
  return event;
}

std::shared_ptr<APMPBMeasurementBundle> makeBundle(int index, int eventCount) {
  const double now = 1.7e9 + index;
  auto bundle = APMPBMeasurementBundle::initWithBuffer(nullptr);
  APMNanoSetInt32(bundle, MeasurementBundleField::protocol_version, 1);
  std::vector<APMNanoValue> events;
  for (int e = 0; e < eventCount; ++e) events.push_back(makeEvent(e, now));
  APMNanoSetRepeated(bundle, MeasurementBundleField::events, &events);

  std::vector<APMNanoValue> properties;
  for (int u = 0; u < 8; ++u) {
    auto property = APMPBUserAttribute::initWithBuffer(nullptr);
    APMNanoSetInt64(property, UserAttributeField::set_timestamp_millis,
                    millisecondsFromSeconds(now));
    APMNanoSetString(property, UserAttributeField::name, "_prop" + std::to_string(u));
    APMNanoSetString(property, UserAttributeField::string_value, "property value");
    properties.push_back(property);
  }
  APMNanoSetRepeated(bundle, MeasurementBundleField::user_attributes, &properties);

  std::vector<APMNanoValue> results;
  for (int a = 0; a < 4; ++a) {
    auto data = APMPBResultData::initWithBuffer(nullptr);
    std::vector<APMNanoValue> words{platform::Object(uint64_t{0xF0F0}),
                                    platform::Object(uint64_t{1})};
    APMNanoSetRepeated(data, ResultDataField::status, &words);
    APMNanoSetRepeated(data, ResultDataField::results, &words);
    auto result = APMPBAudienceLeafFilterResult::initWithBuffer(nullptr);
    APMNanoSetInt32(result, AudienceLeafFilterResultField::audience_id, 100 + a);
    APMNanoSetMessage(result, AudienceLeafFilterResultField::current_data, data.get());
    APMNanoSetBool(result, AudienceLeafFilterResultField::new_audience, false);
    results.push_back(result);
  }
  APMNanoSetRepeated(bundle, MeasurementBundleField::audience_evaluation_results, &results);

  APMNanoSetInt64(bundle, MeasurementBundleField::upload_timestamp_millis,
                  millisecondsFromSeconds(now));
  APMNanoSetInt32(bundle, MeasurementBundleField::timezone_offset_minutes, -300);
  APMNanoSetString(bundle, MeasurementBundleField::platform, "ios");
  APMNanoSetString(bundle, MeasurementBundleField::os_version, "17.2");
  APMNanoSetString(bundle, MeasurementBundleField::device_model, "iPhone15,3");
  APMNanoSetString(bundle, MeasurementBundleField::app_id, "com.example.measured");
  APMNanoSetString(bundle, MeasurementBundleField::app_version, "4.18.0");
  APMNanoSetString(bundle, MeasurementBundleField::app_instance_id,
                   "4c0ffee0f00d4c0ffee0f00d4c0ffee0");
  APMNanoSetInt64(bundle, MeasurementBundleField::vuv_version, 110300);
  APMNanoSetBool(bundle, MeasurementBundleField::limited_ad_tracking, true);
  return bundle;
}

std::shared_ptr<APMPBMeasurementBatch> makeBatch(int bundleCount, int eventsPerBundle) {
  auto batch = APMPBMeasurementBatch::initWithBuffer(nullptr);
  std::vector<APMNanoValue> bundles;
  for (int b = 0; b < bundleCount; ++b) bundles.push_back(makeBundle(b, eventsPerBundle));
  APMNanoSetRepeated(batch, MeasurementBatchField::bundles, &bundles);
  return batch;
}

const platform::Bytes& largeBatch() {
  static const platform::Bytes bytes = *makeBatch(20, 50)->protoBuffer();
  return bytes;
}
const platform::Bytes& smallBatch() {
  static const platform::Bytes bytes = *makeBatch(1, 10)->protoBuffer();
  return bytes;
}

using Clock = std::chrono::steady_clock;

// One side of a comparison: a round does the operation once on the batch.
struct Side {
  const char* name;
  std::function<void()> round;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Runs every side in turn, once per benchmark iteration, each timed on its
// own over enough repetitions to last a fraction of a millisecond; reports
// the median MB/s of each side and the speed ratio of ours against each
// other side. The first side is ours and sets the benchmark's own rate.
void compare(benchmark::State& state, const platform::Bytes& batch, std::vector<Side> sides) {
  const int repetitions = std::max<int>(1, static_cast<int>(300000 / batch.size()));
  std::vector<std::vector<double>> seconds(sides.size());
  for (auto _ : state) {
    for (size_t s = 0; s < sides.size(); ++s) {
      const auto start = Clock::now();
      for (int r = 0; r < repetitions; ++r) sides[s].round();
      const std::chrono::duration<double> elapsed = Clock::now() - start;
      seconds[s].push_back(elapsed.count() / repetitions);
    }
  }
  const double megabytes = static_cast<double>(batch.size()) / 1e6;
  const double ourSeconds = median(seconds[0]);
  const double ours = megabytes / ourSeconds;
  state.counters["MB/s"] = ours;
  state.counters["batch_bytes"] = static_cast<double>(batch.size());
  for (size_t s = 1; s < sides.size(); ++s) {
    const double theirSeconds = median(seconds[s]);
    state.counters[std::string(sides[s].name) + "_MB/s"] = megabytes / theirSeconds;
    state.counters[std::string("speed_vs_") + sides[s].name] = speedRatio(theirSeconds, ourSeconds);
  }
}

// A memcpy of the batch, the baseline when no peer is installed.
Side memcpySide(const platform::Bytes& batch) {
  auto target = std::make_shared<std::vector<uint8_t>>(batch.size());
  return {"memcpy", [&batch, target] {
            std::memcpy(target->data(), batch.data(), batch.size());
            benchmark::DoNotOptimize(target->data());
            benchmark::ClobberMemory();
          }};
}

#ifdef APM_BENCH_PROTOBUF_C
using PeerBatch = Apm__Peer__MeasurementBatch;
PeerBatch* protobufCDecode(const platform::Bytes& batch) {
  return apm__peer__measurement_batch__unpack(nullptr, batch.size(), batch.data());
}
#endif

void BM_BuildThroughAccessors(benchmark::State& state) {
  const platform::Bytes& batch = largeBatch();
  compare(state, batch, {{"ours", [] { benchmark::DoNotOptimize(makeBatch(20, 50)); }}});
}

void decode(benchmark::State& state, const platform::Bytes& batch) {
  std::vector<Side> sides{
      {"ours", [&] { benchmark::DoNotOptimize(APMPBMeasurementBatch::initWithBuffer(batch)); }}};
#ifdef APM_BENCH_PROTOBUF_C
  sides.push_back({"protobuf_c", [&] {
                     PeerBatch* message = protobufCDecode(batch);
                     benchmark::DoNotOptimize(message);
                     apm__peer__measurement_batch__free_unpacked(message, nullptr);
                   }});
#endif
  if (sides.size() == 1) sides.push_back(memcpySide(batch));
  compare(state, batch, sides);
}

void encode(benchmark::State& state, const platform::Bytes& batch) {
  auto ours = APMPBMeasurementBatch::initWithBuffer(batch);
  std::vector<Side> sides{{"ours", [&] { benchmark::DoNotOptimize(ours->protoBuffer()); }}};
#ifdef APM_BENCH_PROTOBUF_C
  std::shared_ptr<PeerBatch> peer(protobufCDecode(batch), [](PeerBatch* message) {
    apm__peer__measurement_batch__free_unpacked(message, nullptr);
  });
  sides.push_back({"protobuf_c", [peer] {
                     const size_t size = apm__peer__measurement_batch__get_packed_size(peer.get());
                     auto* buffer = static_cast<uint8_t*>(malloc(size));
                     apm__peer__measurement_batch__pack(peer.get(), buffer);
                     benchmark::DoNotOptimize(buffer);
                     free(buffer);
                   }});
#endif
  if (sides.size() == 1) sides.push_back(memcpySide(batch));
  compare(state, batch, sides);
}

// protobuf-c has no copy of its own: copies are timed against memcpy.
void copy(benchmark::State& state, const platform::Bytes& batch) {
  auto ours = APMPBMeasurementBatch::initWithBuffer(batch);
  compare(state, batch,
          {{"ours",
            [&] {
              benchmark::DoNotOptimize(APMPBMeasurementBatch::initWithMessageInfo(ours->messageInfo()));
            }},
           memcpySide(batch)});
}

void BM_DecodeLarge(benchmark::State& state) { decode(state, largeBatch()); }
void BM_DecodeSmall(benchmark::State& state) { decode(state, smallBatch()); }
void BM_EncodeLarge(benchmark::State& state) { encode(state, largeBatch()); }
void BM_EncodeSmall(benchmark::State& state) { encode(state, smallBatch()); }
void BM_CopyLarge(benchmark::State& state) { copy(state, largeBatch()); }
void BM_CopySmall(benchmark::State& state) { copy(state, smallBatch()); }

BENCHMARK(BM_BuildThroughAccessors)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_DecodeLarge)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_DecodeSmall)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_EncodeLarge)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_EncodeSmall)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_CopyLarge)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_CopySmall)->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace

int main(int argc, char** argv) { return runPairedBenchmarks(argc, argv, {}); }
