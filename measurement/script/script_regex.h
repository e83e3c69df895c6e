// Regular expressions for the string methods "match" and "search": ICU
// syntax, no options (case-sensitive; "^" and "$" anchor at the ends of the
// whole text; "." stops at line terminators).
//
// A hostile pattern must not hold the queue that runs scripts, and ICU's
// own step counter says little about time (one back-reference step can
// compare the whole text; one case-insensitive set can take milliseconds
// to compile). So both compiling and matching are charged to the scope's
// work budget by the thread CPU time they take, one unit per nanosecond:
//
// - Compiled patterns are kept per runtime (`APMPRegexCache`, held by the
//   root scope), so a program searching in a loop compiles once. A compile
//   is refused with error 18, before it starts, when a bound on what it may
//   take (from the pattern's length, quantifiers and sets) exceeds what is
//   left of the budget.
// - A match goes on only while the budget left covers the most it may cost
//   until ICU next asks whether to go on (every 10,000 saved backtracking
//   states, and at start positions, looked at in groups). Each run of the
//   pattern between two such events is priced at its worst: the pattern's
//   operations once, and the whole text for each back-reference, grapheme
//   cluster and word boundary, since nothing stops ICU while it reads. A
//   loop pays for what it reads with the states it saves stepping back,
//   except where those are thrown away: inside an atomic group, a
//   look-ahead or look-behind, or under a possessive quantifier, a loop is
//   priced at the whole text for every run (`.*` in an atomic group scans
//   to the end at every start), elsewhere at the whole text once. So such
//   patterns over a long text are refused before they start, while plain
//   loops and literals search long texts. It stops with error 18
//   when the budget cannot cover that, or at ICU's step limit (2.5 million
//   steps).
//
// A pattern that does not compile fails with an error of the platform's
// domain (code 2048, the pattern under "NSInvalidValue"). A match whose
// backtracking stack passes its limit (1 MiB), and a failed allocation
// inside ICU, are error 18, like any other exhausted resource. Same
// threads as the scope.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

// A runtime's compiled patterns, the most recently used first to stay. It
// holds at most `kMaxEntries` patterns and about `kMaxBytes` of compiled
// forms (estimated from the patterns); a pattern whose compiled form may be
// larger is compiled at each use, and charged each time.
class APMPRegexCache {
 public:
  static constexpr size_t kMaxEntries = 32;
  static constexpr size_t kMaxBytes = size_t{4} << 20;

  APMPRegexCache();
  ~APMPRegexCache();
  APMPRegexCache(const APMPRegexCache&) = delete;
  APMPRegexCache& operator=(const APMPRegexCache&) = delete;

  // What the held patterns take, estimated.
  size_t heldBytes() const noexcept;
  size_t size() const noexcept { return entries_.size(); }

  struct Entry;
  // The entry of `pattern`, compiling it (charged to `scope`) when not
  // held; null with the error set on failure. Valid until the next call.
  const Entry* find(std::u16string_view pattern, APMPScope& scope, platform::ErrorRef& error);

 private:
  std::vector<std::unique_ptr<Entry>> entries_;
  std::unique_ptr<Entry> uncached_;
  uint64_t uses_ = 0;
  size_t bytes_ = 0;
};
