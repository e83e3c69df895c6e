// Hostile programs, sent as a server sends them (program bytes, decode,
// load, events), whose work once cost far more than the budget was
// charged for it; and the processor-time net under every charge.
#include <gtest/gtest.h>
#include <time.h>

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "editing_test_support.h"
#include "measurement/script/event_editing.h"

namespace script_test {
namespace {

const APMPEvent kEvent("purchase", 100, {{"item", platform::Object("book")}});

// Loads the preamble and `instructions` from the bytes of a program
// message; the loading error's code.
long loadAsSent(EditingHarness& h, std::vector<Entity> instructions) {
  APMPEditingProgram program{preamble(), {}};
  for (Entity& instruction : instructions) program.instructions.push_back(std::move(instruction));
  const auto decoded = APMPBProgram::initWithBuffer(*programMessage(program)->protoBuffer());
  if (!decoded) return -1;
  platform::ErrorRef error;
  h.editor.loadProgram(*decoded, &error);
  return code(error);
}

// for (i = 0; i < count; i = i + 1) { body }, as a while loop.
std::vector<Entity> repeat(double count, std::vector<Entity> body) {
  return {let("i", num(0)),
          stmt("42", {stmt("23", {variable("i"), num(count)}), assign("i", stmt("0", {variable("i"), num(1)})),
                      boolean(false), list(std::move(body))})};
}

Entity editCallbackRepeating(double count, std::vector<Entity> body) {
  std::vector<Entity> statements = repeat(count, std::move(body));
  statements.push_back(ret(num(0)));
  return editCallback(std::move(statements));
}

// 2,000 names chosen to share one bucket of an index hashed with the
// standard library's fixed seed, stored in a map by a map literal.
TEST(RunCostTest, NamesChosenToShareABucketAreSpread) {
  constexpr size_t kNames = 2000;
  std::unordered_map<std::u16string, uint32_t> sized;
  for (size_t i = 0; i < kNames; ++i) sized.emplace(u16("n" + std::to_string(i)), 0);
  const size_t buckets = sized.bucket_count();
  std::vector<Entity> pairs;
  std::u16string name;
  for (uint64_t candidate = 0; pairs.size() < 2 * kNames; ++candidate) {
    name.clear();
    for (uint64_t rest = candidate; rest != 0 || name.empty(); rest /= 10) name.push_back(u'0' + rest % 10);
    if (std::hash<std::u16string_view>{}(name) % buckets != 0) continue;
    pairs.push_back(str(script_text::toUtf8(name)));
    pairs.push_back(num(1));
  }
  EditingHarness h;
  ASSERT_EQ(loadAsSent(h, {let("m", stmt("8", pairs))}), 0);
  const APMPMapValue* map = h.editor.runtime().globalScope().valueForName(u"m").asMap();
  ASSERT_TRUE(map);
  EXPECT_EQ(map->propertyMap().count(), kNames);
  EXPECT_LT(map->propertyMap().longestIndexBucket(), 16u);
}

// A loop whose pass evaluates a statement list ("46") of 2,000 statements
// as a value: each pass copies them, and is charged for it.
TEST(RunCostTest, AStatementListIsChargedForEveryCopy) {
  EditingHarness h;
  const std::vector<Entity> statements(2000, str("x"));
  ASSERT_EQ(loadAsSent(h, {declare("kept"), editCallbackRepeating(100, {assign("kept", list(statements))})}), 0);
  long failure = 0;
  h.handle(kEvent, &failure);
  EXPECT_EQ(failure, 0);
  EXPECT_GE(h.editor.runtime().initialScope().workCount(), 100u * 2 * statements.size());
}

}  // namespace
}  // namespace script_test
