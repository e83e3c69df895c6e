// The bitwise command set: and, or, exclusive or, not and the three shifts
// on 32-bit integers. Operands convert through the saturating
// `APMPToInt32` (or `APMPToUint32` for the logical shift right); a shift
// count is `APMPToUint32` of the second value, of which only the low five
// bits count. Results are numbers.
#include <cstdint>

#include "measurement/script/number_commands.h"

using Value = APMPRuntimeValue;
using platform::ErrorRef;

namespace {

double bitAnd(double a, double b) { return APMPToInt32(a) & APMPToInt32(b); }
double bitOr(double a, double b) { return APMPToInt32(a) | APMPToInt32(b); }
double bitXor(double a, double b) { return APMPToInt32(a) ^ APMPToInt32(b); }
double bitNot(double a) { return ~APMPToInt32(a); }

uint32_t shiftCount(double count) { return APMPToUint32(count) & 31; }
// Shifted as unsigned, so that bits leaving the top are dropped, then read
// as signed.
double shiftLeft(double a, double count) {
  return static_cast<int32_t>(static_cast<uint32_t>(APMPToInt32(a)) << shiftCount(count));
}
double shiftRight(double a, double count) { return APMPToInt32(a) >> shiftCount(count); }
double shiftRightUnsigned(double a, double count) { return APMPToUint32(a) >> shiftCount(count); }

constexpr APMPCommandEntry kBitwiseCommands[] = {
    {u"56", APMPBinaryNumberRoutine<bitAnd>},
    {u"57", APMPBinaryNumberRoutine<shiftLeft>},
    {u"58", APMPUnaryNumberRoutine<bitNot>},
    {u"59", APMPBinaryNumberRoutine<bitOr>},
    {u"60", APMPBinaryNumberRoutine<shiftRight>},
    {u"61", APMPBinaryNumberRoutine<shiftRightUnsigned>},
    {u"62", APMPBinaryNumberRoutine<bitXor>},
};

}  // namespace

APMPBitwiseCommandEvaluator::APMPBitwiseCommandEvaluator() : APMPCommandEvaluator(kBitwiseCommands) {}
