#include "examples/collector_ledger.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "measurement/engine/event.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_wrappers.h"
#include "measurement/messages/nano_accessors.h"
#include "sdk_core/gzip.h"

namespace {

// (n, created by the program).
using Identity = std::pair<int64_t, bool>;

// A gzip batch of one bundle holding events with these identities; a
// created event carries the "n" of its source as the program hands it on,
// a floating number.
platform::Bytes batchBody(const std::vector<Identity>& identities) {
  std::vector<APMNanoValue> events;
  for (const auto& [n, created] : identities) {
    const APMValue identity = created ? APMValue(static_cast<double>(n)) : APMValue(n);
    auto event = APMEvent::initWithOrigin(created ? "script" : "app", false, created ? "big_purchase" : "purchase",
                                          1.7e9, 0, {{"n", identity}});
    events.emplace_back(event->protoEvent());
  }
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  APMNanoSetRepeated(bundle, MeasurementBundleField::events, &events);
  auto batch = APMPBMeasurementBatch::initWithMessageInfo(nullptr);
  std::vector<APMNanoValue> bundles{bundle};
  APMNanoSetRepeated(batch, MeasurementBatchField::bundles, &bundles);
  return gul_dataByGzippingData(*batch->protoBuffer()).value_or(platform::Bytes{});
}

TEST(CollectorLedgerTest, ChecksEachStoredEventByIdentityNotByCount) {
  struct Case {
    const char* name;
    std::vector<Identity> acknowledged;
    // The second batch is refused and so not counted.
    std::vector<std::vector<Identity>> batches;
    bool complete;
    std::string verdict;
  };
  const std::vector<Case> cases = {
      {"each once", {{0, false}, {0, true}, {1, false}}, {{{0, false}, {1, false}}, {{0, false}}, {{0, true}}},
       true, "accepted 2 bundles with 3 events: each of the 3 stored events arrived once"},
      {"a loss hidden by a duplicate", {{0, false}, {1, false}}, {{{0, false}, {0, false}}},
       false, "1 stored events missing, 1 arrived more than once, 0 never stored (first missing: event 1)"},
      {"a created event lost", {{0, false}, {0, true}}, {{{0, false}}},
       false, "1 stored events missing, 0 arrived more than once, 0 never stored "
              "(first missing: an event created from event 0)"},
      {"an event never stored", {{0, false}}, {{{0, false}, {1, false}, {7, false}}},
       false, "0 stored events missing, 0 arrived more than once, 2 never stored"},
  };
  for (const Case& c : cases) {
    CollectorLedger ledger(2);
    for (const auto& [n, created] : c.acknowledged) ledger.acknowledge(n, created);
    for (const auto& batch : c.batches) ledger.receive(batchBody(batch));
    EXPECT_EQ(ledger.complete(), c.complete) << c.name;
    const std::string summary = ledger.summary();
    EXPECT_NE(summary.find(c.verdict), std::string::npos) << c.name << ": " << summary;
  }
}

}  // namespace
