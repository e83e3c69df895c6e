// Throughput of one realistic upload batch (20 bundles of 50 events with 10
// parameters each, user properties and audience results): building it
// through the accessors, encoding, decoding and deep-copying it. Each
// benchmark reports MB/s of the batch's encoded bytes and "x_memcpy", its
// time over that of a memcpy of the same bytes measured in this run.
#include "measurement/messages/message_values.h"
#include "measurement/messages/message_wrappers.h"
#include "measurement/messages/nano_accessors.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using messages::millisecondsFromSeconds;

std::shared_ptr<APMPBMeasurementBundle> makeBundle(int index) {
  const double now = 1.7e9 + index;
  auto bundle = APMPBMeasurementBundle::initWithBuffer(nullptr);
  APMNanoSetInt32(bundle, MeasurementBundleField::protocol_version, 1);
  std::vector<APMNanoValue> events;
  for (int e = 0; e < 50; ++e) {
    auto event = APMPBEvent::initWithBuffer(nullptr);
    std::vector<APMNanoValue> params;
    for (int p = 0; p < 10; ++p) {
      auto param = APMPBEventParam::initWithBuffer(nullptr);
      APMNanoSetString(param, EventParamField::name, "_param_" + std::to_string(p));
      if (p % 3 == 0) {
        APMNanoSetString(param, EventParamField::string_value, "value text " + std::to_string(e));
      } else if (p % 3 == 1) {
        APMNanoSetInt64(param, EventParamField::int_value, 1000 * e + p);
      } else {
        APMNanoSetDouble(param, EventParamField::double_value, e * 0.25 + p);
      }
      params.push_back(param);
    }
    APMNanoSetRepeated(event, EventField::params, &params);
    APMNanoSetString(event, EventField::name, e % 2 ? "screen_view" : "_e");
    APMNanoSetInt64(event, EventField::timestamp_millis, millisecondsFromSeconds(now + e));
    APMNanoSetInt64(event, EventField::previous_timestamp_millis, millisecondsFromSeconds(now));
    events.push_back(event);
  }
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
  APMNanoSetString(bundle, MeasurementBundleField::platform, "ios");
  APMNanoSetString(bundle, MeasurementBundleField::os_version, "17.2");
  APMNanoSetString(bundle, MeasurementBundleField::app_id, "com.example.measured");
  APMNanoSetString(bundle, MeasurementBundleField::app_instance_id,
                   "4c0ffee0f00d4c0ffee0f00d4c0ffee0");
  APMNanoSetInt64(bundle, MeasurementBundleField::vuv_version, 110300);
  return bundle;
}

std::shared_ptr<APMPBMeasurementBatch> makeBatch() {
  auto batch = APMPBMeasurementBatch::initWithBuffer(nullptr);
  std::vector<APMNanoValue> bundles;
  for (int b = 0; b < 20; ++b) bundles.push_back(makeBundle(b));
  APMNanoSetRepeated(batch, MeasurementBatchField::bundles, &bundles);
  return batch;
}

const platform::Bytes& batchBytes() {
  static const platform::Bytes bytes = *makeBatch()->protoBuffer();
  return bytes;
}

// Bytes per second of a plain memcpy of the batch: the best of a few
// measurements, so that one interrupted round does not skew every ratio.
double memcpyRate() {
  static const double rate = [] {
    const platform::Bytes& source = batchBytes();
    std::vector<uint8_t> target(source.size());
    double best = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
      const int rounds = 1000;
      const auto start = std::chrono::steady_clock::now();
      for (int i = 0; i < rounds; ++i) {
        std::memcpy(target.data(), source.data(), source.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
      }
      const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
      best = std::max(best, static_cast<double>(source.size()) * rounds / elapsed.count());
    }
    return best;
  }();
  return rate;
}

// Runs `body` once per benchmark iteration and reports MB/s and the time
// over memcpy's for the same bytes.
template <typename Body>
void measure(benchmark::State& state, Body body) {
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) body();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  const double bytes = static_cast<double>(batchBytes().size()) * state.iterations();
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["x_memcpy"] = elapsed.count() / (bytes / memcpyRate());
  state.counters["batch_bytes"] = static_cast<double>(batchBytes().size());
}

void BM_Memcpy(benchmark::State& state) {
  const platform::Bytes& source = batchBytes();
  std::vector<uint8_t> target(source.size());
  measure(state, [&] {
    std::memcpy(target.data(), source.data(), source.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  });
}

void BM_BuildThroughAccessors(benchmark::State& state) {
  measure(state, [] { benchmark::DoNotOptimize(makeBatch()); });
}

void BM_Encode(benchmark::State& state) {
  auto batch = APMPBMeasurementBatch::initWithBuffer(batchBytes());
  measure(state, [&] { benchmark::DoNotOptimize(batch->protoBuffer()); });
}

void BM_Decode(benchmark::State& state) {
  measure(state,
          [] { benchmark::DoNotOptimize(APMPBMeasurementBatch::initWithBuffer(batchBytes())); });
}

void BM_DeepCopy(benchmark::State& state) {
  auto batch = APMPBMeasurementBatch::initWithBuffer(batchBytes());
  measure(state, [&] {
    benchmark::DoNotOptimize(APMPBMeasurementBatch::initWithMessageInfo(batch->messageInfo()));
  });
}

BENCHMARK(BM_Memcpy);
BENCHMARK(BM_BuildThroughAccessors)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Encode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeepCopy)->Unit(benchmark::kMillisecond);

} // namespace
