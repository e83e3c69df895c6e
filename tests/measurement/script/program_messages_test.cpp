// Conversion of program messages: the same values and errors as the
// in-memory program form, read straight from decoded records.
#include <gtest/gtest.h>

#include <cmath>

#include "measurement/messages/nano_accessors.h"
#include "editing_test_support.h"

namespace script_test {
namespace {

TEST(ProgramMessagesTest, MessagesConvertLikeTheProgramForm) {
  Entity unnamed = stmt("x", {num(1)});
  unnamed.name.reset();
  Entity unknownType;
  unknownType.type = 5;
  Entity emptyNumber;
  emptyNumber.type = kAPMPEntityNumber;
  const std::vector<Entity> cases = {
      num(2.5), str("text"), boolean(true), emptyNumber, stmt("22", {boolean(false), str("a"), stmt("f", {num(-0.0)})}),
      unnamed, unknownType, stmt("13", {num(1), unknownType}), Entity{}};
  for (const Entity& entity : cases) {
    platform::ErrorRef fromTree, fromMessage;
    const Value expected = APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(entity, &fromTree);
    const Value actual = APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*toMessage(entity), &fromMessage);
    EXPECT_EQ(code(fromMessage), code(fromTree));
    EXPECT_TRUE(actual.isEqualToRuntimeValue(expected)) << text(expected);
  }
  const auto message = toMessage(stmt("23", {num(1), num(2)}));
  EXPECT_NE(APMPRuntimeEntityConverter::statementValueFromRuntimeEntity(*message).asStatement()->handler(), nullptr);
  EXPECT_TRUE(std::isnan(APMPRuntimeEntityConverter::numberValueFromRuntimeEntity(*message).numberValue()));
  EXPECT_EQ(text(APMPRuntimeEntityConverter::stringValueFromRuntimeEntity(*message)), "");
  EXPECT_FALSE(APMPRuntimeEntityConverter::booleanValueFromRuntimeEntity(*message).booleanValue());
}

TEST(ProgramMessagesTest, DecodedProgramRuns) {
  // A program through the wire: a function declaration, then a call of it.
  auto program = APMPBProgram::initWithMessageInfo(nullptr);
  std::vector<APMNanoValue> instructions{
      toMessage(function("50", "pick", {"x"}, {stmt("22", {stmt("get", {str("x")}), str("yes"), str("no")})})),
      toMessage(stmt("pick", {num(0)}))};
  APMNanoSetRepeated(*program, ProgramField::instructions, &instructions);
  const std::optional<platform::Bytes> bytes = program->protoBuffer();
  ASSERT_TRUE(bytes);
  const auto decoded = APMPBProgram::initWithBuffer(*bytes);
  ASSERT_TRUE(decoded);
  const NANOMessageClass entityClass = nanoMessageClass<APMPBRuntimeEntity>("APMPBRuntimeEntity");
  const auto items = APMNanoGetRepeated(*decoded, ProgramField::instructions,
                                        &entityClass);
  ASSERT_TRUE(items);
  std::vector<std::shared_ptr<APMPBRuntimeEntity>> entities;
  for (const APMNanoValue& item : *items) {
    entities.push_back(std::static_pointer_cast<APMPBRuntimeEntity>(std::get<1>(item)));
  }
  ScriptHarness h;
  platform::ErrorRef error;
  EXPECT_EQ(text(h.runtime.executeStatements(entities, &error)), "no");
  EXPECT_FALSE(error);
  // Read in place from the decoded record, alike.
  const APMPRuntimeEntityRecords records = APMPProgramInstructions(*decoded);
  ASSERT_EQ(records.size(), 2u);
  ScriptHarness inPlace;
  EXPECT_EQ(text(inPlace.runtime.executeStatements(records, &error)), "no");
  EXPECT_FALSE(error);
  EXPECT_EQ(text(inPlace.runtime.executeStatements(records.subspan(1, 5), &error)), "no");
  EXPECT_TRUE(records.subspan(3, 1).empty());
  entities.push_back(nullptr);
  h.runtime.executeStatements(entities, &error);
  EXPECT_EQ(code(error), 12);
}

TEST(ProgramMessagesTest, RecordViewsReadOnlyWhatIsThere) {
  const auto entity = toMessage(stmt("f", {num(1), str("a")}));
  const MessageInfo* record = entity->messageInfo();
  // Only a repeated message field of a record lists entities.
  EXPECT_EQ(APMPRuntimeEntityRecords(record, RuntimeEntityField::value).size(), 2u);
  for (int32_t field : {int32_t{RuntimeEntityField::name}, int32_t{RuntimeEntityField::type}, int32_t{-1}, int32_t{6},
                        int32_t{1000}}) {
    EXPECT_TRUE(APMPRuntimeEntityRecords(record, field).empty()) << field;
  }
  EXPECT_TRUE(APMPRuntimeEntityRecords(nullptr, RuntimeEntityField::value).empty());

  // A program without activities has none; an activity without a name or
  // rules reads as empty.
  const auto bare = APMPBProgram::initWithMessageInfo(nullptr);
  EXPECT_TRUE(APMPProgramActivities(*bare).empty());
  EXPECT_TRUE(APMPProgramInstructions(*bare).empty());
  const auto program = programMessage(APMPEditingProgram{{}, {{"", {}}, {"rule", {num(1)}}}});
  const std::vector<APMPActivityRecord> read = APMPProgramActivities(*program);
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[0].name, "");
  EXPECT_TRUE(read[0].data.empty());
  EXPECT_EQ(read[1].name, "rule");
  ASSERT_EQ(read[1].data.size(), 1u);
  EXPECT_EQ(text(APMPRuntimeEntityConverter::runtimeValuesFromRuntimeEntities(read[1].data).values.at(0)), "1");
}

TEST(ProgramMessagesTest, WireTextsAndTypes) {
  // type 4, name "f\xFF" (invalid UTF-8); type 5 decodes like any other type.
  const platform::Bytes statement{0x08, 0x04, 0x1A, 0x02, 'f', 0xFF};
  const auto entity = APMPBRuntimeEntity::initWithBuffer(statement);
  ASSERT_TRUE(entity);
  EXPECT_EQ(APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*entity).asStatement()->functionName(),
            u"f\uFFFD");
  // A present empty name is a name: a call of the script function "", not
  // error 14.
  const auto emptyName = APMPBRuntimeEntity::initWithBuffer(platform::Bytes{0x08, 0x04, 0x1A, 0x00});
  ASSERT_TRUE(emptyName);
  platform::ErrorRef nameError;
  const Value call = APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*emptyName, &nameError);
  EXPECT_FALSE(nameError);
  ASSERT_NE(call.asStatement(), nullptr);
  EXPECT_EQ(call.asStatement()->functionName(), u"");
  const auto other = APMPBRuntimeEntity::initWithBuffer(platform::Bytes{0x08, 0x05, 0x28, 0x01});
  ASSERT_TRUE(other);
  platform::ErrorRef error;
  APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*other, &error);
  EXPECT_EQ(code(error), 12);
}

}  // namespace
}  // namespace script_test
