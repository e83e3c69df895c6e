// Feeds arbitrary bytes to `initWithBuffer` of every message wrapper class
// (the first byte picks the class), and checks what decodes: its encoding
// decodes again to the same bytes, and a copy encodes alike.
#include "measurement/messages/message_wrappers.h"
#include "platform/log.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>

namespace {

template <class Wrapper>
void exercise(const platform::Bytes& input) {
  auto message = Wrapper::initWithBuffer(input);
  if (!message) return;
  const std::optional<platform::Bytes> encoded = message->protoBuffer();
  if (!encoded) abort();
  auto again = Wrapper::initWithBuffer(*encoded);
  if (!again || again->protoBuffer() != encoded) abort();
  auto copy = Wrapper::initWithMessageInfo(message->messageInfo());
  if (!copy || copy->protoBuffer() != encoded) abort();
  for (int32_t id = 0; id < static_cast<int32_t>(Wrapper::kRoutines.schema->fieldCount); id += 2) {
    copy->deallocMessageFieldFn()(copy->messageInfo(), id);
  }
  if (!copy->protoBuffer()) abort();
}

using Exercise = void (*)(const platform::Bytes&);
#define APM_EXERCISE(message, count, wrapper, decode, encode)                                      \
  APM_WHEN_##wrapper(&exercise<APMPB##message>, )
constexpr Exercise kClasses[] = {APM_MESSAGE_LIST(APM_EXERCISE)};
#undef APM_EXERCISE

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // Decoders print their "<ERROR> " lines; keep them out of the fuzzer's
  // output.
  platform::LogCapture quiet;
  const platform::Bytes input(data + 1, data + size);
  kClasses[data[0] % std::size(kClasses)](input);
  return 0;
}
