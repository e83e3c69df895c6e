// `concat`: the given texts one after the other, in one new string.
//
// Tests build names and expected texts with it instead of `"p" +
// std::to_string(i)`: once GCC 12 inlines that operator+ into an optimised
// test body, it reports the copy as overlapping (a false -Wrestrict), and the
// Release build must stay warning-free.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

inline std::string concat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view part : parts) out += part;
  return out;
}
