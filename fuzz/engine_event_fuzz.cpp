// Feeds arbitrary bytes, as a stored event blob, to `initWithEventProto`,
// and checks what makes an event: its message form makes the same event
// again, whose message form is the same bytes, so that an event read back
// and stored again does not drift.
#include "measurement/engine/event.h"
#include "platform/log.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Decoders print their "<ERROR> " lines; keep them out of the fuzzer's
  // output.
  platform::LogCapture quiet;
  auto message = APMPBEvent::initWithBuffer(platform::Bytes(data, data + size));
  auto event = APMEvent::initWithEventProto(message.get());
  if (!event) return 0;
  auto encoded = event->protoEvent();
  std::optional<platform::Bytes> bytes = encoded ? encoded->protoBuffer() : std::nullopt;
  if (!bytes) abort();
  // Compared by their bytes: a NaN parameter is not equal to itself.
  auto again = APMEvent::initWithEventProto(APMPBEvent::initWithBuffer(*bytes).get());
  if (!again || again->origin() != event->origin() || again->name() != event->name() ||
      again->protoEvent()->protoBuffer() != bytes) {
    abort();
  }
  return 0;
}
