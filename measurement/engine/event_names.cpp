#include "measurement/engine/event_names.h"

bool APMIsPublicName(std::string_view name) {
  return !name.empty() && name.front() != '_';
}

const APMEventNameTable& APMPublicToInternalEventNames() {
  // Static local: built once, thread-safe, and never destroyed while other
  // static destructors might still read it.
  static const APMEventNameTable* const table = new APMEventNameTable{
      {"first_open", "_f"},
      {"session_start", "_s"},
  };
  return *table;
}
