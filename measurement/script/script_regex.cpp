#include "measurement/script/script_regex.h"

#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <optional>

#include "measurement/script/evaluator.h"
#include "measurement/script/script_text.h"
#include "platform/property_list.h"

namespace {

// Ticks (of 10,000 backtracking steps each) one match may take, and the
// bytes its backtracking stack may use.
constexpr int32_t kTimeLimitTicks = 250;
constexpr int32_t kStackLimitBytes = 1 << 20;

// A unit of work is about what reading or comparing one code unit costs, a
// nanosecond or less, so the budget stands for a tenth of a second of such
// work; work measured by the clock is charged one unit per nanosecond.
constexpr uint64_t kWorkPerNanosecond = 1;

// Bounds on what compiling may take, in units (nanoseconds), from what
// releases of ICU take on a desktop core, with a margin: building ops per
// pattern unit; each quantifier against each other one (some passes over
// the compiled pattern run once per loop); a set of plain ranges; a
// property, which builds its set from the character data; and any set or
// property once case-insensitive matching may be on, which closes the set
// over case by walking every code point in it (up to 14 ms for
// "(?i)[\p{Any}]").
constexpr uint64_t kCompileWorkPerUnit = 1000;
constexpr uint64_t kCompileWorkPerQuantifierPair = 16;
constexpr uint64_t kCompileWorkPerSet = 50000;
constexpr uint64_t kCompileWorkPerProperty = 2000000;
constexpr uint64_t kCompileWorkPerCaselessSet = 30000000;
// Bytes of compiled form, likewise: per pattern unit, per set of ranges,
// per property set and per set closed over case.
constexpr size_t kBytesPerUnit = 64;
constexpr size_t kBytesPerSet = 4096;
constexpr size_t kBytesPerProperty = 64 << 10;
constexpr size_t kBytesPerCaselessSet = 128 << 10;

// What a match may cost until ICU next asks whether to go on: at every
// 10,000th state it saves (`kStepsPerTick`), and at start positions,
// looked at in groups of `kStartsPerLook`. Nothing else can stop it: the
// text it reads is the text it has, so a match is priced from it.
//
// Between two looks, ICU runs pieces of the pattern ("runs"), each from a
// start, a state saved or a state taken back to the next such event. A run
// performs the pattern's operations at most once (`kStepWork`, and
// `kPatternUnitWork` per pattern unit for an operation or a literal's unit
// compared; case folding makes a compared unit cost
// `kCaselessCompareWork`). Some operations read far without saving: a
// back-reference compares up to the whole text (`kCompareWork` per unit,
// or `kCaselessCompareWork`), a grapheme cluster may be the whole text
// (`kPropertyReadWork` per unit, each looked up in the character data), and
// a word boundary looks back over the marks before it (the same, over the
// text's longest run of marks). States taken back are at most those saved:
// the window's own and those saved before it, at most what the stack holds
// (`kHeldStates`: ICU's stack takes an 8-byte word per 4 bytes of its
// limit, and its smallest state two words; `a*c` over "aaa..." saves some
// 130,000 before the stack is full).
//
// A loop over a set or "." reads as far as it can without saving
// (`kScanWork` per unit: a large set over supplementary characters takes
// some 9 ns a unit), then saves a state for each unit it steps back over,
// and a lazy loop saves one for each unit it takes. So a loop's reads are
// paid for by the states that follow them, until something throws those
// states away: an atomic group, a look-ahead or look-behind, a possessive
// quantifier. A loop inside one ("discarded") may read the whole text
// again at every start and after every state saved or taken back (`.*` in
// an atomic group scans to the end at every start). Any other loop has at
// most one read outstanding, not yet stepped back over, when a look comes:
// what it reads until the next is its part of the states saved, and once
// the whole text.
constexpr uint64_t kStepWork = 64;
constexpr uint64_t kPatternUnitWork = 8;
constexpr uint64_t kCompareWork = 2;
constexpr uint64_t kCaselessCompareWork = 16;
constexpr uint64_t kPropertyReadWork = 16;
constexpr uint64_t kScanWork = 8;
constexpr uint64_t kStepsPerTick = 10000;
constexpr uint32_t kStartsPerLook = 256;
constexpr uint64_t kHeldStates = kStackLimitBytes / 8;

// What runs of one pattern over one text may cost.
struct RunCosts {
  uint64_t run = 0;       // a run's operations, comparisons and reads
  uint64_t scan = 0;      // what the discarded loops of a run may read besides
  uint64_t straddle = 0;  // what the other loops may read once

  // The most a match may cost until its next look, `ticks` ticks into it.
  uint64_t untilNextLook(uint64_t ticks) const {
    const uint64_t held = std::min(kHeldStates, (ticks + 1) * kStepsPerTick);
    return (kStartsPerLook + 2 * kStepsPerTick + held) * run + (kStartsPerLook + kStepsPerTick) * scan + straddle;
  }
};

platform::ErrorRef regexError(std::u16string_view pattern, const char* description) {
  platform::Object::Dictionary info;
  info.emplace(platform::kLocalizedDescriptionKey, description);
  info.emplace("NSInvalidValue", script_text::toUtf8(pattern));
  return platform::Error::make(platform::kCocoaErrorDomain, kAPMPRegexErrorCode, std::move(info));
}

// The loops ("*", "+" and counts) of a pattern, by whether ICU may throw
// away the states they save.
struct Loops {
  uint64_t kept = 0;
  uint64_t discarded = 0;
};

// Where a quantifier starting at `i` ends, whether it repeats and whether
// it is possessive (a "+" after it).
struct Quantifier {
  size_t end = 0;
  bool loop = false;
  bool possessive = false;
};
std::optional<Quantifier> quantifierAt(std::u16string_view pattern, size_t i) {
  if (i >= pattern.size()) return std::nullopt;
  Quantifier q;
  const char16_t c = pattern[i];
  if (c == u'*' || c == u'+' || c == u'?') {
    q.end = i + 1;
  } else if (c == u'{') {
    const size_t close = pattern.find(u'}', i);
    q.end = close == std::u16string_view::npos ? pattern.size() : close + 1;
  } else {
    return std::nullopt;
  }
  q.loop = c != u'?';
  if (q.end < pattern.size() && (pattern[q.end] == u'+' || pattern[q.end] == u'?')) {
    q.possessive = pattern[q.end] == u'+';
    ++q.end;
  }
  return q;
}

// The loops of `pattern`, read as ICU reads it: escapes (with the unit
// "\c" takes), quoted text, sets (a "]" first in a set is a literal) and
// comments hold no structure; a group whose states are thrown away is
// atomic, a look-ahead, a look-behind or followed by a possessive
// quantifier. What this does not follow (free spacing, where "#" starts a
// comment, or groups that do not balance) has every loop counted as
// discarded.
Loops loopsOf(std::u16string_view pattern) {
  struct Group {
    bool discards = false;
    uint64_t loops = 0;
  };
  std::vector<Group> groups(1);
  uint64_t discarded = 0;
  bool followed = true;
  size_t setDepth = 0;
  const size_t n = pattern.size();
  for (size_t i = 0; i < n && followed; ++i) {
    const char16_t c = pattern[i];
    if (c == u'\\' && i + 1 < n) {
      const char16_t next = pattern[++i];
      if (next == u'Q') {
        const size_t end = pattern.find(u"\\E", i);
        i = end == std::u16string_view::npos ? n : end + 1;
      } else if ((next == u'p' || next == u'P' || next == u'N' || next == u'x') && i + 1 < n && pattern[i + 1] == u'{') {
        const size_t close = pattern.find(u'}', i);
        i = close == std::u16string_view::npos ? n : close;
      } else if (next == u'c' && i + 1 < n) {
        ++i;
      }
      if (setDepth > 0) continue;
    } else if (c == u'[') {
      ++setDepth;
      if (i + 1 < n && pattern[i + 1] == u'^') ++i;
      if (i + 1 < n && pattern[i + 1] == u']') ++i;
      continue;
    } else if (setDepth > 0) {
      if (c != u']' || --setDepth > 0) continue;
    } else if (c == u'(') {
      bool discards = false;
      if (i + 1 < n && pattern[i + 1] == u'?') {
        const char16_t kind = i + 2 < n ? pattern[i + 2] : 0;
        if (kind == u'#') {
          const size_t close = pattern.find(u')', i);
          i = close == std::u16string_view::npos ? n : close;
          continue;
        }
        discards = kind == u'>' || kind == u'=' || kind == u'!' ||
                   (kind == u'<' && i + 3 < n && (pattern[i + 3] == u'=' || pattern[i + 3] == u'!'));
        size_t j = i + 2;
        while (j < n && std::u16string_view(u"ismwx-").find(pattern[j]) != std::u16string_view::npos) {
          followed = followed && pattern[j] != u'x';
          ++j;
        }
        // "(?i)" only sets flags.
        if (j > i + 2 && j < n && pattern[j] == u')') {
          i = j;
          continue;
        }
      }
      groups.push_back({discards, 0});
      continue;
    } else if (c == u')') {
      if (groups.size() == 1) {
        followed = false;
        break;
      }
      const Group group = groups.back();
      groups.pop_back();
      const std::optional<Quantifier> q = quantifierAt(pattern, i + 1);
      if (group.discards || (q && q->possessive)) {
        discarded += group.loops;
      } else {
        groups.back().loops += group.loops;
      }
    }
    const std::optional<Quantifier> q = quantifierAt(pattern, i + 1);
    if (!q) continue;
    if (q->loop) {
      if (q->possessive) {
        ++discarded;
      } else {
        ++groups.back().loops;
      }
    }
    i = q->end - 1;
  }
  if (!followed || groups.size() != 1 || setDepth > 0) {
    // Every character that may be a loop is counted as one.
    return {0, static_cast<uint64_t>(std::count_if(pattern.begin(), pattern.end(),
                                                   [](char16_t c) { return c == u'*' || c == u'+' || c == u'{'; }))};
  }
  return {groups.front().loops, discarded};
}

struct CompileBound {
  uint64_t work = 0;
  size_t bytes = 0;
  bool caseless = false;
  // Operations that read far without saving (back-references, grapheme
  // clusters, word boundaries), and loops.
  uint64_t backReferences = 0;
  uint64_t clusters = 0;
  uint64_t boundaries = 0;
  Loops loops;
};

// What compiling `pattern` may take at most, and what its operations may
// read. Escapes are not told apart from what they escape, which can only
// overestimate.
CompileBound compileBound(std::u16string_view pattern) {
  bool caseless = false;
  uint64_t sets = 0, properties = 0, quantifiers = 0, backReferences = 0, clusters = 0, boundaries = 0;
  const size_t n = pattern.size();
  for (size_t i = 0; i < n; ++i) {
    const char16_t c = pattern[i];
    if (c == u'(' && i + 1 < n && pattern[i + 1] == u'?') {
      // A group of flags, "(?i)" or "(?x-i:", may turn case-insensitive
      // matching on for the rest.
      for (size_t j = i + 2; j < n && std::u16string_view(u"ismwx-").find(pattern[j]) != std::u16string_view::npos;
           ++j) {
        caseless = caseless || pattern[j] == u'i';
      }
    } else if (c == u'[') {
      ++sets;
      if (i + 1 < n && pattern[i + 1] == u':') ++properties;
    } else if (c == u'\\' && i + 1 < n) {
      const char16_t next = pattern[++i];
      if (next == u'p' || next == u'P' || next == u'N') ++properties;
      if ((next >= u'1' && next <= u'9') || next == u'k') ++backReferences;
      if (next == u'X') ++clusters;
      if (next == u'b' || next == u'B') ++boundaries;
    } else if (c == u'*' || c == u'+' || c == u'?' || c == u'{') {
      ++quantifiers;
    }
  }
  CompileBound bound;
  bound.work = kCompileWorkPerUnit * n + kCompileWorkPerQuantifierPair * quantifiers * quantifiers +
               (caseless ? kCompileWorkPerCaselessSet * (sets + properties)
                         : kCompileWorkPerSet * sets + kCompileWorkPerProperty * properties);
  bound.caseless = caseless;
  bound.backReferences = backReferences;
  bound.clusters = clusters;
  bound.boundaries = boundaries;
  bound.loops = loopsOf(pattern);
  bound.bytes = kBytesPerUnit * n +
                (caseless ? kBytesPerCaselessSet * (sets + properties) : kBytesPerSet * sets + kBytesPerProperty * properties);
  return bound;
}

// Charges the thread CPU time a match takes, as it goes, and lets it go on
// only while what is left covers the most it may cost until it is asked
// again.
class MatchClock {
 public:
  MatchClock(APMPScope& scope, platform::ErrorRef& error, RunCosts costs)
      : scope_(scope), error_(error), costs_(costs), last_(static_cast<uint64_t>(APMPThreadCpuNanoseconds())) {}

  // Charges the time since the last look; false (and stopped from then on)
  // with error 18 once the budget cannot pay it or cover what may follow.
  bool look() {
    if (stopped_) return false;
    if (!charge()) {
      stopped_ = true;
    } else if (costs_.untilNextLook(ticks_) > kAPMPWorkLimit - scope_.workCount()) {
      APMPSetError(error_, kAPMPErrorLimit);
      stopped_ = true;
    }
    return !stopped_;
  }
  bool onTick(int32_t ticks) {
    ticks_ = static_cast<uint64_t>(std::max(ticks, 0));
    return look();
  }
  bool onStart() { return ++starts_ % kStartsPerLook != 0 || look(); }
  // Charges the time since the last look; false with error 18 when the
  // budget cannot pay it.
  bool charge() {
    const uint64_t now = static_cast<uint64_t>(APMPThreadCpuNanoseconds());
    const uint64_t spent = now > last_ ? now - last_ : 0;
    last_ = now;
    return APMPChargeWork(scope_, spent * kWorkPerNanosecond, error_);
  }
  bool stopped() const noexcept { return stopped_; }

 private:
  APMPScope& scope_;
  platform::ErrorRef& error_;
  RunCosts costs_;
  uint64_t last_;
  uint64_t ticks_ = 0;
  uint32_t starts_ = 0;
  bool stopped_ = false;
};

UBool U_CALLCONV onTick(const void* context, int32_t ticks) {
  return static_cast<MatchClock*>(const_cast<void*>(context))->onTick(ticks);
}
UBool U_CALLCONV onStart(const void* context, int64_t) {
  return static_cast<MatchClock*>(const_cast<void*>(context))->onStart();
}

// The longest run of units a word boundary looks back over: marks that
// extend a letter, and format characters. None lies below U+00AD.
uint64_t longestRunOfMarks(std::u16string_view text) {
  uint64_t longest = 0, run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    UChar32 c = text[i];
    size_t width = 1;
    if (U16_IS_LEAD(c) && i + 1 < text.size() && U16_IS_TRAIL(text[i + 1])) {
      c = U16_GET_SUPPLEMENTARY(c, text[i + 1]);
      width = 2;
    }
    const bool mark = c >= 0xAD && (u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND) || u_charType(c) == U_FORMAT_CHAR);
    run = mark ? run + width : 0;
    longest = std::max(longest, run);
    i += width - 1;
  }
  return longest;
}

// A failed ICU call: a failed allocation, a spent budget or a limit met is
// error 18; anything else is the pattern's error. ICU does not always say
// that an allocation failed: the backtracking stack's reports as its
// overflow, and the compiler's, once a string it built is left empty, as an
// illegal argument, which no pattern causes.
void setFailure(UErrorCode status, std::u16string_view pattern, const char* description, platform::ErrorRef& error) {
  if (error) return;
  if (status == U_MEMORY_ALLOCATION_ERROR || status == U_ILLEGAL_ARGUMENT_ERROR || status == U_REGEX_TIME_OUT ||
      status == U_REGEX_STOPPED_BY_CALLER || status == U_REGEX_STACK_OVERFLOW) {
    APMPSetError(error, kAPMPErrorLimit);
  } else {
    error = regexError(pattern, description);
  }
}

}  // namespace

struct APMPRegexCache::Entry {
  std::u16string pattern;
  bool caseless = false;
  uint64_t backReferences = 0;
  uint64_t clusters = 0;
  uint64_t boundaries = 0;
  Loops loops;
  size_t hash = 0;
  size_t bytes = 0;
  uint64_t lastUse = 0;
  std::unique_ptr<icu::RegexPattern> compiled;
};

APMPRegexCache::APMPRegexCache() = default;
APMPRegexCache::~APMPRegexCache() = default;

size_t APMPRegexCache::heldBytes() const noexcept { return bytes_ + (uncached_ ? uncached_->bytes : 0); }

const APMPRegexCache::Entry* APMPRegexCache::find(std::u16string_view pattern, APMPScope& scope,
                                                  platform::ErrorRef& error) {
  // Hashing and comparing the pattern reads it.
  if (!APMPChargeWork(scope, pattern.size(), error)) return nullptr;
  const size_t hash = std::hash<std::u16string_view>{}(pattern);
  for (const std::unique_ptr<Entry>& entry : entries_) {
    if (entry->hash == hash && entry->pattern == pattern) {
      entry->lastUse = ++uses_;
      return entry.get();
    }
  }
  const CompileBound bound = compileBound(pattern);
  if (bound.work > kAPMPWorkLimit - scope.workCount() || pattern.size() > INT32_MAX) {
    APMPSetError(error, kAPMPErrorLimit);
    return nullptr;
  }
  auto entry = std::make_unique<Entry>();
  entry->pattern = pattern;
  entry->hash = hash;
  entry->caseless = bound.caseless;
  entry->backReferences = bound.backReferences;
  entry->clusters = bound.clusters;
  entry->boundaries = bound.boundaries;
  entry->loops = bound.loops;
  entry->bytes = bound.bytes + sizeof(Entry) + 2 * pattern.size();
  entry->lastUse = ++uses_;
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError{};
  const uint64_t began = static_cast<uint64_t>(APMPThreadCpuNanoseconds());
  entry->compiled.reset(icu::RegexPattern::compile(
      icu::UnicodeString(false, pattern.data(), static_cast<int32_t>(pattern.size())), 0, parseError, status));
  const uint64_t spent = static_cast<uint64_t>(APMPThreadCpuNanoseconds()) - began;
  if (!APMPChargeWork(scope, spent * kWorkPerNanosecond, error)) return nullptr;
  if (U_FAILURE(status) || !entry->compiled) {
    setFailure(U_SUCCESS(status) ? U_MEMORY_ALLOCATION_ERROR : status, pattern,
               "The value is not a valid regular expression.", error);
    return nullptr;
  }
  if (entry->bytes > kMaxBytes / 4) {
    uncached_ = std::move(entry);
    return uncached_.get();
  }
  while (!entries_.empty() && (entries_.size() >= kMaxEntries || bytes_ + entry->bytes > kMaxBytes)) {
    const auto oldest = std::min_element(entries_.begin(), entries_.end(),
                                         [](const auto& a, const auto& b) { return a->lastUse < b->lastUse; });
    bytes_ -= (*oldest)->bytes;
    entries_.erase(oldest);
  }
  bytes_ += entry->bytes;
  entries_.push_back(std::move(entry));
  return entries_.back().get();
}

bool APMPFindFirstMatch(std::u16string_view pattern, std::u16string_view text, APMPScope& scope,
                        APMPRegexMatch& match, platform::ErrorRef& error) {
  match = {};
  if (text.size() > INT32_MAX) {
    APMPSetError(error, kAPMPErrorLimit);
    return false;
  }
  const APMPRegexCache::Entry* entry = scope.regexCache().find(pattern, scope, error);
  if (!entry) return false;
  // A pattern that compiled within the budget is under 10^5 units long,
  // and a text past the budget's units is refused whole: no product here
  // reaches 2^64.
  const uint64_t units = std::min<uint64_t>(text.size(), kAPMPWorkLimit);
  uint64_t marks = 0;
  if (entry->boundaries > 0) {
    // Finding the longest run of marks reads the text.
    if (!APMPChargeWork(scope, units * kPropertyReadWork, error)) return false;
    marks = std::min<uint64_t>(longestRunOfMarks(text), kAPMPWorkLimit);
  }
  RunCosts costs;
  costs.run = kStepWork + pattern.size() * (entry->caseless ? kCaselessCompareWork : kPatternUnitWork) +
              entry->backReferences * units * (entry->caseless ? kCaselessCompareWork : kCompareWork) +
              (entry->clusters * units + entry->boundaries * marks) * kPropertyReadWork;
  costs.scan = entry->loops.discarded * units * kScanWork;
  costs.straddle = entry->loops.kept * units * kScanWork;
  if (costs.untilNextLook(0) > kAPMPWorkLimit) {
    APMPSetError(error, kAPMPErrorLimit);
    return false;
  }
  MatchClock clock(scope, error, costs);
  if (!clock.look()) return false;
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<icu::RegexMatcher> matcher(entry->compiled->matcher(status));
  if (U_FAILURE(status) || !matcher) {
    setFailure(U_SUCCESS(status) ? U_MEMORY_ALLOCATION_ERROR : status, pattern,
               "The regular expression could not be prepared.", error);
    return false;
  }
  const icu::UnicodeString input(false, text.data(), static_cast<int32_t>(text.size()));
  matcher->reset(input);
  matcher->setTimeLimit(kTimeLimitTicks, status);
  matcher->setStackLimit(kStackLimitBytes, status);
  matcher->setMatchCallback(onTick, &clock, status);
  matcher->setFindProgressCallback(onStart, &clock, status);
  if (U_SUCCESS(status)) {
    match.found = matcher->find(status);
    if (U_SUCCESS(status) && match.found) {
      match.location = static_cast<size_t>(matcher->start(status));
      match.length = static_cast<size_t>(matcher->end(status)) - match.location;
    }
  }
  // The rest of the time is charged whatever the outcome.
  if ((!clock.stopped() && !clock.charge()) || U_FAILURE(status)) {
    setFailure(status, pattern, "The regular expression could not be matched.", error);
    match = {};
    return false;
  }
  return true;
}
