#include "measurement/script/event_context.h"

#include <algorithm>

using platform::Object;

void APMPEventContext::setInputEvent(APMPEvent event) {
  input_ = std::move(event);
  outputWritten_ = false;
  inputMoved_ = false;
  inputName_.reset();
  inputParameters_.clear();
  loggedEvents_.clear();
  journal_.clear();
}

const APMPEvent& APMPEventContext::inputEvent() const {
  if (inputMoved_) rebuildInput();
  return input_;
}

void APMPEventContext::rebuildInput() const {
  input_ = output_;
  if (inputName_) input_.setName(*inputName_);
  APMPEvent::Parameters& parameters = input_.mutableParameters();
  for (const auto& [name, value] : inputParameters_) {
    if (value.isNil()) {
      parameters.erase(name);
    } else {
      parameters.insert_or_assign(name, value);
    }
  }
  inputMoved_ = false;
}

void APMPEventContext::setOutputEvent(APMPEvent event) {
  if (inputMoved_) rebuildInput();
  output_ = std::move(event);
  outputWritten_ = true;
  journal_.clear();
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
  loggedEvents_.emplace_back(std::move(name), timestamp, std::move(parameters));
}

// A run of writes to one name needs only the value before the first: a
// script writing in a loop leaves one entry, not one per write. Distinct
// names grow the journal no faster than the output event itself.
bool APMPEventContext::noted(bool isName, std::string_view name) const {
  return !journal_.empty() && journal_.back().isName == isName && (isName || journal_.back().name == name);
}

void APMPEventContext::setOutputName(std::string name) {
  APMPEvent& output = writableOutput();
  if (inputMoved_ && !inputName_) inputName_ = output.name();
  if (!noted(true, {})) journal_.push_back(Change{true, output.name(), Object()});
  output.setName(std::move(name));
}

void APMPEventContext::setOutputParameter(Object value, std::string_view name) {
  APMPEvent& output = writableOutput();
  const bool kept = !inputMoved_ || std::ranges::find(inputParameters_, name, &InputParameter::first) !=
                                         inputParameters_.end();
  if (!kept && inputParameters_.size() == kMaxInputParameters) rebuildInput();
  Object previous = output.exchangeParameter(std::move(value), name);
  if (!kept && inputMoved_) inputParameters_.emplace_back(std::string(name), previous);
  if (!noted(false, name)) journal_.push_back(Change{false, std::string(name), std::move(previous)});
}

void APMPEventContext::discardEdit() {
  APMPEvent::Parameters& parameters = output_.mutableParameters();
  for (auto change = journal_.rbegin(); change != journal_.rend(); ++change) {
    if (change->isName) {
      output_.setName(std::move(change->name));
    } else if (change->previous.isNil()) {
      parameters.erase(change->name);
    } else {
      parameters.insert_or_assign(std::move(change->name), std::move(change->previous));
    }
  }
  journal_.clear();
}
