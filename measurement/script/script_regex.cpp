#include "measurement/script/script_regex.h"

#include <unicode/regex.h>

#include <algorithm>
#include <climits>
#include <functional>

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

// What one backtracking step of a match may cost, in units: ICU counts a
// step per saved state, and between two saves a match runs at most the
// pattern's operations once (`kPatternUnitWork` per pattern unit covers an
// operation or a literal's unit compared), and each back-reference compares
// a capture as long as the text (`kCompareWork` per unit). Case folding
// makes each compared unit cost `kCaselessCompareWork`.
constexpr uint64_t kStepWork = 64;
constexpr uint64_t kPatternUnitWork = 8;
constexpr uint64_t kCompareWork = 2;
constexpr uint64_t kCaselessCompareWork = 16;
// ICU asks whether to go on every 10,000 steps and at every start position;
// starts are looked at in groups of `kStartsPerLook`. A match goes on only
// while the budget left covers the most the steps and starts until the
// next look may cost.
constexpr uint64_t kStepsPerTick = 10000;
constexpr uint32_t kStartsPerLook = 256;

platform::ErrorRef regexError(std::u16string_view pattern, const char* description) {
  platform::Object::Dictionary info;
  info.emplace(platform::kLocalizedDescriptionKey, description);
  info.emplace("NSInvalidValue", script_text::toUtf8(pattern));
  return platform::Error::make(platform::kCocoaErrorDomain, kAPMPRegexErrorCode, std::move(info));
}

struct CompileBound {
  uint64_t work = 0;
  size_t bytes = 0;
  bool caseless = false;
  uint64_t backReferences = 0;
};

// What compiling `pattern` may take at most. Escapes are not told apart
// from what they escape, which can only overestimate.
CompileBound compileBound(std::u16string_view pattern) {
  bool caseless = false;
  uint64_t sets = 0, properties = 0, quantifiers = 0, backReferences = 0;
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
  bound.bytes = kBytesPerUnit * n +
                (caseless ? kBytesPerCaselessSet * (sets + properties) : kBytesPerSet * sets + kBytesPerProperty * properties);
  return bound;
}

// Charges the thread CPU time a match takes, as it goes, and lets it go on
// only while what is left covers `reserve`, the most it may cost until it
// is asked again.
class MatchClock {
 public:
  MatchClock(APMPScope& scope, platform::ErrorRef& error, uint64_t reserve)
      : scope_(scope), error_(error), reserve_(reserve), last_(static_cast<uint64_t>(APMPThreadCpuNanoseconds())) {}

  // Charges the time since the last look; false (and stopped from then on)
  // with error 18 once the budget cannot pay it or cover the reserve.
  bool look() {
    if (stopped_) return false;
    if (!charge()) {
      stopped_ = true;
    } else if (reserve_ > kAPMPWorkLimit - scope_.workCount()) {
      APMPSetError(error_, kAPMPErrorLimit);
      stopped_ = true;
    }
    return !stopped_;
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
  uint64_t reserve_;
  uint64_t last_;
  uint32_t starts_ = 0;
  bool stopped_ = false;
};

UBool U_CALLCONV onTick(const void* context, int32_t) {
  return static_cast<MatchClock*>(const_cast<void*>(context))->look();
}
UBool U_CALLCONV onStart(const void* context, int64_t) {
  return static_cast<MatchClock*>(const_cast<void*>(context))->onStart();
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
  const uint64_t step = kStepWork + pattern.size() * (entry->caseless ? kCaselessCompareWork : kPatternUnitWork) +
                        entry->backReferences * text.size() * (entry->caseless ? kCaselessCompareWork : kCompareWork);
  if (step > kAPMPWorkLimit) {
    APMPSetError(error, kAPMPErrorLimit);
    return false;
  }
  MatchClock clock(scope, error, (kStepsPerTick + kStartsPerLook) * step);
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
