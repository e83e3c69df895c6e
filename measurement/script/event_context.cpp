#include "measurement/script/event_context.h"

#include <algorithm>

#include "measurement/script/cell_memory.h"

using platform::Object;

namespace {

// Vectors that once grew long are given back when a new event begins
// rather than kept for every later one.
constexpr size_t kKeptCapacity = 64;
template <class T>
void clearAndTrim(std::vector<T>& list) {
  if (list.capacity() > kKeptCapacity) {
    std::vector<T>().swap(list);
  } else {
    list.clear();
  }
}

}  // namespace

void APMPEventContext::add(size_t bytes) const noexcept { change(static_cast<ptrdiff_t>(bytes)); }

void APMPEventContext::release(size_t bytes) const noexcept { change(-static_cast<ptrdiff_t>(bytes)); }

void APMPEventContext::change(ptrdiff_t bytes) const noexcept {
  const size_t before = heldBytes();
  held_ += bytes;
  if (account_) account_->kept = account_->kept - before + heldBytes();
}

void APMPEventContext::countAgainst(APMPMemoryAccount* account) noexcept {
  if (account_) account_->kept -= heldBytes();
  account_ = account;
  if (account_) account_->kept += heldBytes();
}

void APMPEventContext::setInputEvent(APMPEvent event) {
  change(-held_);
  input_ = std::move(event);
  output_ = APMPEvent();
  outputWritten_ = false;
  inputMoved_ = false;
  inputName_.reset();
  clearAndTrim(inputParameters_);
  clearAndTrim(loggedEvents_);
  clearAndTrim(journal_);
}

const APMPEvent& APMPEventContext::inputEvent() const {
  if (inputMoved_) rebuildInput();
  return input_;
}

// Only what was never written is copied from the output: the values the
// run wrote may be large, and the input gets its own back.
void APMPEventContext::rebuildInput() const {
  APMPEvent::Parameters parameters;
  for (const auto& [name, value] : output_.parameters()) {
    if (std::ranges::find(inputParameters_, name, &InputParameter::first) == inputParameters_.end()) {
      parameters.emplace_hint(parameters.end(), name, value);
    }
  }
  for (const auto& [name, value] : inputParameters_) {
    if (!value.isNil()) parameters.emplace(name, value);
  }
  input_ = APMPEvent(inputName_ ? *inputName_ : output_.name(), output_.timestamp(), std::move(parameters));
  add(APMPEventBytes(input_));
  inputMoved_ = false;
}

void APMPEventContext::setOutputEvent(APMPEvent event) {
  if (inputMoved_) rebuildInput();
  add(APMPEventBytes(event));
  release(APMPEventBytes(output_));
  output_ = std::move(event);
  outputWritten_ = true;
  clearJournal();
}

bool APMPEventContext::outputDiffersFromInput() const {
  if (!outputWritten_) return false;
  if (!inputMoved_) return !output_.isEqualToEvent(input_);
  // Only the names written can differ; the timestamp is the input's own.
  if (inputName_ && *inputName_ != output_.name()) return true;
  const APMPEvent::Parameters& parameters = output_.parameters();
  for (const auto& [name, value] : inputParameters_) {
    auto it = parameters.find(name);
    if (it == parameters.end() ? !value.isNil() : !APMPEqualParameterValues(it->second, value)) return true;
  }
  return false;
}

APMPEvent& APMPEventContext::writableOutput() {
  if (!outputWritten_) {
    output_ = std::move(input_);
    input_ = APMPEvent();
    outputWritten_ = true;
    inputMoved_ = true;
  }
  return output_;
}

void APMPEventContext::logEventWithName(std::string name, double timestamp, APMPEvent::Parameters parameters) {
  for (auto& [key, value] : parameters) {
    value = APMPNormalizedParameter(std::move(value), key, inputEvent().parameterForName(key));
  }
  const APMPEvent& logged = loggedEvents_.emplace_back(std::move(name), timestamp, std::move(parameters));
  add(sizeof(APMPEvent) + APMPEventBytes(logged));
}

// A run of writes to one name needs only the value before the first: a
// script writing in a loop leaves one entry, not one per write. Distinct
// names grow the journal no faster than the output event itself.
bool APMPEventContext::noted(bool isName, std::string_view name) const {
  return !journal_.empty() && journal_.back().isName == isName && (isName || journal_.back().name == name);
}

void APMPEventContext::setOutputName(std::string name) {
  APMPEvent& output = writableOutput();
  if (inputMoved_ && !inputName_) {
    inputName_ = output.name();
    add(inputName_->size());
  }
  add(name.size());
  std::string previous = output.exchangeName(std::move(name));
  if (noted(true, {})) {
    release(previous.size());
  } else {
    // Its bytes were counted in the output.
    journal_.push_back(Change{true, std::move(previous), Object()});
    add(sizeof(Change));
  }
}

void APMPEventContext::setOutputParameter(Object value, std::string_view name) {
  APMPEvent& output = writableOutput();
  const bool kept = !inputMoved_ || std::ranges::find(inputParameters_, name, &InputParameter::first) !=
                                         inputParameters_.end();
  if (!kept && inputParameters_.size() == kMaxInputParameters) rebuildInput();
  const bool storing = !value.isNil();
  // A number is stored as its text over a text; nothing else changes when
  // stored.
  const bool number = value.isNumber();
  size_t stored = APMPObjectBytes(value);
  Object previous = output.exchangeParameter(std::move(value), name);
  if (number && previous.isString()) stored = APMPObjectBytes(output.parameters().find(name)->second);
  const size_t previousBytes = APMPObjectBytes(previous);
  const size_t entry = kAPMPEntryBytes + name.size();
  add(stored + (storing && previous.isNil() ? entry : 0));
  if (!storing && !previous.isNil()) release(entry);
  if (!kept && inputMoved_) {
    inputParameters_.emplace_back(std::string(name), previous);
    add(sizeof(InputParameter) + name.size() + previousBytes);
  }
  if (noted(false, name)) {
    release(previousBytes);
  } else {
    journal_.push_back(Change{false, std::string(name), std::move(previous)});
    add(sizeof(Change) + name.size());
  }
}

// Values moved back into the output are taken out of their entries, so
// that clearing the journal gives back only what it still holds.
void APMPEventContext::discardEdit() {
  APMPEvent::Parameters& parameters = output_.mutableParameters();
  for (auto change = journal_.rbegin(); change != journal_.rend(); ++change) {
    if (change->isName) {
      release(output_.name().size());
      output_.setName(std::move(change->name));
      change->name.clear();
      continue;
    }
    auto it = parameters.find(change->name);
    if (change->previous.isNil()) {
      if (it == parameters.end()) continue;
      release(kAPMPEntryBytes + it->first.size() + APMPObjectBytes(it->second));
      parameters.erase(it);
    } else if (it != parameters.end()) {
      release(APMPObjectBytes(it->second));
      it->second = std::move(change->previous);
    } else {
      add(kAPMPEntryBytes);
      parameters.emplace(std::move(change->name), std::move(change->previous));
      change->name.clear();
    }
    change->previous = Object();
  }
  clearJournal();
}

void APMPEventContext::clearJournal() noexcept {
  for (const Change& change : journal_) release(sizeof(Change) + change.name.size() + APMPObjectBytes(change.previous));
  journal_.clear();
}
