// `APMPEventContext`: the event being handled by an editor, as handed in
// (the input), as being edited (the output, a copy of the input at first),
// and the events created while handling it, in creation order.
//
// Until the output is first written it is the input itself, and is known to
// equal it. The first write moves the input into the output instead of
// copying it; from then on the input's value of each name written is kept
// (once per name), which is all it takes to tell whether the output still
// equals the input, and the input itself is rebuilt only when asked for.
// Edits made through
// `setOutputName` and `setOutputParameter` are noted since the last
// `beginEdit`, so that `discardEdit` can put the output back as it was
// without copying the whole event before each callback.
//
// What the context holds beyond the input event as handed in (the edits,
// the values kept to undo them or to put the input back together, the
// created events) is counted as it changes, in `APMPEventBytes` terms:
// those are what a run makes outside its runtime's values, and while a run
// may add to them they count against its runtime's memory bound
// (`countAgainst`). Replacing a value gives its bytes back, and a new input
// event starts the count afresh.
//
// Owned by its editor and shared with the script natives that read and
// write it; used on the editor's thread only.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/script/event.h"

struct APMPMemoryAccount;

class APMPEventContext {
 public:
  // `init`: over an event with the empty name, no parameters, timestamp 0.
  APMPEventContext() = default;
  // `initWithEvent:`.
  explicit APMPEventContext(APMPEvent event) { setInputEvent(std::move(event)); }

  // The input becomes `event`, the output a copy of it; the created events
  // are dropped.
  void setInputEvent(APMPEvent event);
  const APMPEvent& inputEvent() const;
  const APMPEvent& outputEvent() const noexcept { return outputWritten_ ? output_ : input_; }
  void setOutputEvent(APMPEvent event);
  // Whether the output may differ from the input: false until it is first
  // written.
  bool outputWritten() const noexcept { return outputWritten_; }
  // Whether the output differs from the input (`isEqualToEvent`).
  bool outputDiffersFromInput() const;
  const std::vector<APMPEvent>& eventsToLog() const noexcept { return loggedEvents_; }

  // Appends a created event whose parameters are normalised against the
  // input event's parameters of the same names.
  void logEventWithName(std::string name, double timestamp, APMPEvent::Parameters parameters);

  // Writes to the output event, noted for `discardEdit`.
  void setOutputName(std::string name);
  void setOutputParameter(platform::Object value, std::string_view name);
  // Starts a new edit: the output as it is now is what `discardEdit`
  // restores.
  void beginEdit() noexcept { clearJournal(); }
  void discardEdit();

  // The bytes held beyond the input event as handed in (none while edits
  // that removed its parameters leave less).
  size_t heldBytes() const noexcept { return held_ > 0 ? static_cast<size_t>(held_) : 0; }
  // From now on `heldBytes` counts in `account`'s `kept` (none when null),
  // and no longer in the account it counted in before.
  void countAgainst(APMPMemoryAccount* account) noexcept;

 private:
  // One write to the output: the name, or a parameter with its value before
  // the write (nil when it was absent).
  struct Change {
    bool isName;
    std::string name;
    platform::Object previous;
  };

  bool noted(bool isName, std::string_view name) const;
  void add(size_t bytes) const noexcept;
  void release(size_t bytes) const noexcept;
  void change(ptrdiff_t bytes) const noexcept;
  void clearJournal() noexcept;
  // The output, the input moved into it on the first write.
  APMPEvent& writableOutput();
  // Puts the input back together from the output and the input's values.
  void rebuildInput() const;

  // Empty while `inputMoved_`, until rebuilt.
  mutable APMPEvent input_;
  APMPEvent output_;
  bool outputWritten_ = false;
  // The input lives in the output, changed by the writes since.
  mutable bool inputMoved_ = false;
  // While the input is moved: its name when the output was renamed, and
  // its value (nil when absent) of each parameter written, at most
  // `kMaxInputParameters`: past them the input is rebuilt and the whole
  // events compared.
  static constexpr size_t kMaxInputParameters = 16;
  std::optional<std::string> inputName_;
  using InputParameter = std::pair<std::string, platform::Object>;
  std::vector<InputParameter> inputParameters_;
  std::vector<APMPEvent> loggedEvents_;
  std::vector<Change> journal_;
  // Below zero when edits freed part of the input.
  mutable ptrdiff_t held_ = 0;
  APMPMemoryAccount* account_ = nullptr;
};
