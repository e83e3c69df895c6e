// The reserved user-property names: the public names the engine keeps for
// its own user properties, each with the short internal name it is stored
// and uploaded under ("first_open_time" is stored as "_fot").
//
// Built once for the process, on first use, and never changed; any thread
// may read it.
#pragma once

#include <functional>
#include <map>
#include <string>

using APMUserPropertyNameTable = std::map<std::string, std::string, std::less<>>;

// Public name to internal name, all ten of them.
const APMUserPropertyNameTable& APMReservedUserPropertyNames();
