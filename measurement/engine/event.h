// `APMEvent`: the engine's event value (origin, public flag, name, timestamp
// and previous timestamp, parameters), and its message form.
//
// An event is made once, checked as it is made, and never changed: records
// that carry events hold them as `std::shared_ptr<const APMEvent>` or
// `std::shared_ptr<APMEvent>` and share them freely between copies and
// threads. The origin travels inside the parameters as the string parameter
// "_o", so that the message form, which has no origin field, keeps it.
//
// Message form (`APMPBEvent`): parameters at field 0, one `APMPBEventParam`
// each; the name at 1; the timestamp at 2 and the previous timestamp at 3,
// both in milliseconds truncated toward zero, the previous one only when it
// is above 0. A string parameter fills the parameter's field 1, an int64
// field 2, a double field 4; an array fills field 5 with one nameless
// parameter per element, whose own field 5 holds the element's entries as
// named scalar parameters. Elements without entries, and arrays left
// without elements, are not written: they would not read back.
//
// Threads: any thread may make and read events.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "measurement/engine/value.h"
#include "measurement/messages/message_wrappers.h"
#include "platform/error.h"

class APMEvent {
 public:
  using Parameters = std::map<std::string, APMValue, std::less<>>;

  // The name of the parameter that carries the origin.
  static constexpr const char* kOriginParameter = "_o";

  // The event, or null with a code 1 error when the origin is empty, the
  // name is not a valid internal event name (`isValidInternalEventName`),
  // a time is NaN or infinite, a parameter has an empty name, a value's
  // boxed object is not of its kind, an array element is not a dictionary
  // of strings and numbers (the message form has no place for anything
  // else), or the origin, the name, a parameter or entry name or a text
  // value is not valid UTF-8 (the message reader refuses such text, so the
  // event would be stored and never read back). A previous timestamp after
  // the timestamp is kept and logged (16002). The origin replaces any "_o"
  // among `parameters`.
  static std::shared_ptr<APMEvent> initWithOrigin(std::string origin, bool isPublic,
                                                  std::string name, double timestamp,
                                                  double previousTimestamp, Parameters parameters,
                                                  platform::ErrorRef* error = nullptr);
  // The event a message holds, or null when it holds no valid one: no
  // string "_o" parameter, a parameter that does not decode
  // (`APMDictionaryFromEventParam`), or a refusal of `initWithOrigin`. The
  // public flag is not part of the message: such events are not public.
  static std::shared_ptr<APMEvent> initWithEventProto(const APMPBEvent* event);

  const std::string& origin() const { return origin_; }
  bool isPublic() const { return isPublic_; }
  const std::string& name() const { return name_; }
  // Seconds since 1970.
  double timestamp() const { return timestamp_; }
  // Seconds since 1970; 0 when there is none.
  double previousTimestamp() const { return previousTimestamp_; }
  // The parameters, "_o" included.
  const Parameters& parameters() const { return parameters_; }

  // A new message holding the event; null only when a message cannot be
  // made at all.
  std::shared_ptr<APMPBEvent> protoEvent() const;

  // Only `initWithOrigin` makes the key, so every event has passed its
  // checks: `protoEvent` relies on them.
  class CheckedKey {
    friend class APMEvent;
    explicit CheckedKey() = default;
  };
  APMEvent(CheckedKey, std::string origin, bool isPublic, std::string name, double timestamp,
           double previousTimestamp, Parameters parameters)
      : origin_(std::move(origin)),
        isPublic_(isPublic),
        name_(std::move(name)),
        timestamp_(timestamp),
        previousTimestamp_(previousTimestamp),
        parameters_(std::move(parameters)) {}

 private:
  std::string origin_;
  bool isPublic_;
  std::string name_;
  double timestamp_;
  double previousTimestamp_;
  Parameters parameters_;
};

// The parameters one `APMPBEventParam` stands for, keyed by name.
// - A parameter with a scalar value (string at field 1, else int64 at 2,
//   else double at 4) gives {name: value}. Outside an array (`nested` NO)
//   it must have a name: else code 1 "Event parameter name is empty".
// - Without a scalar but with elements at field 5: outside an array, the
//   elements, each decoded as nested and those that fail left out, make an
//   array value of dictionaries under the name (elements without entries
//   left out too; none left gives an empty array); inside an array (an
//   element), the named scalars among its elements make one flat map.
// - Neither: code 2 "Failed to parse invalid event params data"; a null
//   message: code 1 "Failed to parse empty event params data".
// Nullopt on failure.
std::optional<APMEvent::Parameters> APMDictionaryFromEventParam(const APMPBEventParam* param,
                                                                bool nested,
                                                                platform::ErrorRef* error = nullptr);
