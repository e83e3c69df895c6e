// Public and internal event names.
//
// Events the engine logs by itself carry short internal names beginning with
// "_"; the app and the measurement configuration may name the same events by
// their public long names. The configuration parse keys its per-event
// settings by the internal name wherever the table below has one, so that a
// setting written for "first_open" applies to the stored `_f` events.
//
// Pure functions over constant data; any thread may call them.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

// YES for a non-empty name whose first character is not "_"; such names
// come from the app rather than from the engine.
bool APMIsPublicName(std::string_view name);

using APMEventNameTable = std::map<std::string, std::string, std::less<>>;

// Public event name to internal short name, built once for the process and
// never changed. Each internal name appears once, so the table reads both
// ways.
const APMEventNameTable& APMPublicToInternalEventNames();
