#include "measurement/script/event_context.h"

using platform::Object;

void APMPEventContext::setInputEvent(APMPEvent event) {
  input_ = std::move(event);
  outputWritten_ = false;
  loggedEvents_.clear();
  journal_.clear();
}

void APMPEventContext::setOutputEvent(APMPEvent event) {
  output_ = std::move(event);
  outputWritten_ = true;
  journal_.clear();
}

APMPEvent& APMPEventContext::writableOutput() {
  if (!outputWritten_) {
    output_ = input_;
    outputWritten_ = true;
  }
  return output_;
}

void APMPEventContext::logEventWithName(std::string name, double timestamp, APMPEvent::Parameters parameters) {
  for (auto& [key, value] : parameters) {
    value = APMPNormalizedParameter(std::move(value), key, input_.parameterForName(key));
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
  if (!noted(true, {})) journal_.push_back(Change{true, output.name(), Object()});
  output.setName(std::move(name));
}

void APMPEventContext::setOutputParameter(Object value, std::string_view name) {
  Object previous = writableOutput().exchangeParameter(std::move(value), name);
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
