// Regular expressions for the string methods "match" and "search": ICU
// syntax, no options (case-sensitive; "^" and "$" anchor at the ends of the
// whole text; "." stops at line terminators).
//
// A hostile pattern must not hang the queue that runs scripts: each match
// runs under ICU's time limit (about a quarter of a second) and a bounded
// backtracking stack, and pays its steps to the scope's work budget. A
// pattern that does not compile, and a match stopped by either limit, fail
// with an error of the platform's domain (code 2048, the pattern under
// "NSInvalidValue"); a spent budget fails with script error 18. Same
// threads as the scope.
#pragma once

#include <cstddef>
#include <string_view>

#include "measurement/script/scope.h"
#include "platform/error.h"

inline constexpr long kAPMPRegexErrorCode = 2048;

struct APMPRegexMatch {
  bool found = false;
  size_t location = 0;  // UTF-16 code units
  size_t length = 0;
};

// The first match of `pattern` in `text`; false with the error set on failure.
bool APMPFindFirstMatch(std::u16string_view pattern, std::u16string_view text, APMPScope& scope,
                        APMPRegexMatch& match, platform::ErrorRef& error);
