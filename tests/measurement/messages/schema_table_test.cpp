// Checks the schema objects against the message definitions, written out
// here a second time in the definitions' own notation: per message, its
// fields in field-ID order as "tag type", a leading '*' for repeated fields
// and the nested message's name for message fields.
#include "measurement/messages/message_schemas.h"

#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace messages {
namespace {

struct Expected {
  const char* message;
  const char* fields;
};

const Expected kExpected[] = {
    {"AdCampaignInfo", "1 string; 2 string; 3 string; 4 int64; 5 string; 6 string; 7 string; "
                       "8 int64"},
    {"AppProperty", "1 string; 2 string; 3 string; 4 string; 5 string; 6 bool; 7 int64"},
    {"Audience", "1 int32; 2 *PropertyFilter; 3 *EventFilter; 4 bool; 5 bool"},
    {"AudienceLeafFilterResult", "1 int32; 2 ResultData; 3 ResultData; 4 bool"},
    {"ClientProperty", "1 string; 2 string; 3 int64; 4 string; 5 *CustomProperty"},
    {"ConsentConfig", "1 *ConsentDefaultEntry; 2 *ConsentDelegationEntry; "
                      "3 *CorePlatformServiceEntry; 4 bool; 5 *ConsentDefaultEntry"},
    {"ConsentDefaultEntry", "1 enum; 2 enum"},
    {"ConsentDelegationEntry", "1 enum; 2 enum"},
    {"CorePlatformServiceEntry", "1 string; 2 string"},
    {"CustomProperty", "1 string; 2 string"},
    {"DataControl", "1 string; 2 *Region; 3 bool"},
    {"DynamicFilterResultTimestamp", "1 int32; 2 int64"},
    {"Event", "1 *EventParam; 2 string; 3 int64; 4 int64; 5 int32"},
    {"EventConfig", "1 string; 2 bool; 3 bool; 4 int32"},
    {"EventFilter", "1 int32; 2 string; 3 *Filter; 4 bool; 5 NumberFilter; 6 bool; 7 bool; "
                    "8 bool"},
    {"EventParam", "1 string; 2 string; 3 int64; 4 float; 5 double; 6 *EventParam"},
    {"Experiment", "1 int32; 2 *Flag"},
    {"ExperimentRequest", "1 AppProperty; 2 *ClientProperty"},
    {"ExperimentResponse", "1 *Snapshot; 2 *SdkResponse"},
    {"Filter", "1 StringFilter; 2 NumberFilter; 3 bool; 4 string"},
    {"Flag", "1 string; 2 int64; 3 string; 4 double; 5 bool"},
    {"MeasurementBatch", "1 *MeasurementBundle; 7 string; 8 string; 9 enum"},
    {"MeasurementBundle", "1 int32; 2 *Event; 3 *UserAttribute; 4 int64; 5 int64; 6 int64; "
                          "26 int64; 7 int64; 8 string; 9 string; 10 string; 11 string; "
                          "12 int32; 13 string; 14 string; 15 int64; 16 string; 17 int64; "
                          "18 int64; 19 string; 27 string; 20 bool; 21 string; 22 int64; "
                          "23 int32; 24 string; 25 string; 28 bool; "
                          "29 *AudienceLeafFilterResult; 30 string; 31 int32; 32 int32; "
                          "33 int32; 34 string; 35 int64; 39 int32; 41 string; 45 *uint32; "
                          "47 int64; 50 string; 52 string; 53 enum; 55 bool; 63 string; "
                          "64 *string; 65 string; 67 int64; 71 string; 72 bool; 73 string; "
                          "75 string; 77 int32; 79 AdCampaignInfo"},
    {"MeasurementConfig", "1 int64; 2 string; 3 int32; 4 *Setting; 5 *EventConfig; 6 *Audience; "
                          "7 string; 8 bool; 9 *Program; 10 *DataControl; 11 string; 14 string; "
                          "15 ConsentConfig; 16 PsmSetting; 17 SstmSetting; 18 Region"},
    {"NumberFilter", "1 enum; 2 bool; 3 string; 4 string; 5 string"},
    {"OgtActivities", "1 *OgtActivity"},
    {"OgtActivity", "1 string; 2 *RuntimeEntity"},
    {"Program", "1 *RuntimeEntity; 2 OgtActivities"},
    {"PropertyFilter", "1 int32; 2 string; 3 Filter; 4 bool; 5 bool; 6 bool"},
    {"PsmSetting", "1 int32; 2 int32; 3 int32"},
    {"Region", "1 string; 2 string"},
    {"ResultData", "1 *uint64; 2 *uint64; 3 *DynamicFilterResultTimestamp; "
                   "4 *SequenceFilterResultTimestamp"},
    {"RuntimeEntity", "1 enum; 2 *RuntimeEntity; 3 string; 4 string; 5 bool; 6 double"},
    {"SdkResponse", "1 string; 2 enum; 3 Snapshot"},
    {"SequenceFilterResultTimestamp", "1 int32; 2 *int64"},
    {"Setting", "1 string; 2 string"},
    {"SkAdNetworkConversionValueRequest",
     "1 int64; 2 string; 3 string; 4 string; 5 int64; 6 int64"},
    {"SkAdNetworkConversionValueResponse",
     "1 enum; 2 string; 3 int32; 4 enum; 5 bool; 6 int64; 7 int64; 8 int64"},
    {"Snapshot", "1 string; 2 *Experiment"},
    {"SstmSetting", "1 string; 2 string; 3 string; 4 int32"},
    {"StringFilter", "1 enum; 2 string; 3 bool; 4 *string"},
    {"UserAttribute", "1 int64; 2 string; 3 string; 4 int64; 5 float; 6 double"},
};

APMNanoFieldKind typeBit(const std::string& type) {
  static const std::map<std::string, APMNanoFieldKind> kBits{
      {"bool", 0x20},     {"enum", 0x40},    {"int32", 0x80},  {"uint32", 0x100},
      {"int64", 0x200},   {"uint64", 0x400}, {"float", 0x800}, {"double", 0x1000},
      {"string", 0x2000}, {"bytes", 0x8000}};
  auto it = kBits.find(type);
  return it == kBits.end() ? 0x4000 : it->second; // any other name is a message
}

TEST(MessageSchemas, EveryFieldMatchesItsDefinition) {
  ASSERT_EQ(allMessageSchemas().size(), std::size(kExpected));
  for (const Expected& expected : kExpected) {
    SCOPED_TRACE(expected.message);
    const MessageSchema* schema = findMessageSchema(expected.message);
    ASSERT_NE(schema, nullptr);
    EXPECT_STREQ(schema->name, expected.message);

    std::vector<std::string> rows;
    std::stringstream text(expected.fields);
    for (std::string row; std::getline(text, row, ';');) rows.push_back(row);
    ASSERT_EQ(schema->fieldCount, rows.size());

    for (uint32_t id = 0; id < rows.size(); ++id) {
      SCOPED_TRACE("field ID " + std::to_string(id));
      std::stringstream row(rows[id]);
      uint32_t tag = 0;
      std::string type;
      row >> tag >> type;
      const bool repeated = type[0] == '*';
      if (repeated) type.erase(0, 1);
      const APMNanoFieldKind kind = (repeated ? 0x8 : 0x2) | typeBit(type);

      const FieldSchema& field = schema->fields[id];
      EXPECT_EQ(field.tag, tag);
      EXPECT_EQ(field.kind, kind);
      EXPECT_EQ(schema->kinds[id], kind);
      EXPECT_EQ(field.repeated(), repeated);
      if (typeBit(type) == 0x4000) {
        ASSERT_NE(field.message, nullptr);
        EXPECT_EQ(field.message->name, type);
      } else {
        EXPECT_EQ(field.message, nullptr);
      }
    }
    EXPECT_EQ(schema->kinds[schema->fieldCount], kNanoKindsEnd);
    const MessageInfo probe{nullptr, schema->kinds, schema->name};
    EXPECT_EQ(messageFieldCount(&probe), schema->fieldCount);
  }
}

TEST(MessageSchemas, TagsAreUniqueAndFieldIdsFollowTagsExceptInTheBundle) {
  for (const MessageSchema* schema : allMessageSchemas()) {
    SCOPED_TRACE(schema->name);
    std::set<uint32_t> tags;
    bool ascending = true;
    for (uint32_t id = 0; id < schema->fieldCount; ++id) {
      EXPECT_TRUE(tags.insert(schema->fields[id].tag).second);
      if (id > 0 && schema->fields[id].tag < schema->fields[id - 1].tag) ascending = false;
    }
    EXPECT_EQ(ascending, std::strcmp(schema->name, "MeasurementBundle") != 0);
  }
  EXPECT_EQ(kMeasurementBundleSchema.fields[6].tag, 26u);
  EXPECT_EQ(kMeasurementBundleSchema.fields[20].tag, 27u);
  EXPECT_EQ(MeasurementBundleField::previous_bundle_start_timestamp_millis, 6);
  EXPECT_EQ(MeasurementBundleField::vendor_id, 20);
  EXPECT_EQ(MeasurementBundleField::ad_campaign_info, 52);
}

TEST(MessageSchemas, RepeatedCountsWrappersAndEntryPoints) {
  const std::map<std::string, int> repeatedCounts{{"Audience", 2},
                                                  {"ClientProperty", 1},
                                                  {"ConsentConfig", 4},
                                                  {"DataControl", 1},
                                                  {"Event", 1},
                                                  {"EventFilter", 1},
                                                  {"EventParam", 1},
                                                  {"Experiment", 1},
                                                  {"ExperimentRequest", 1},
                                                  {"ExperimentResponse", 2},
                                                  {"MeasurementBatch", 1},
                                                  {"MeasurementBundle", 5},
                                                  {"MeasurementConfig", 5},
                                                  {"OgtActivities", 1},
                                                  {"OgtActivity", 1},
                                                  {"Program", 1},
                                                  {"ResultData", 4},
                                                  {"RuntimeEntity", 1},
                                                  {"SequenceFilterResultTimestamp", 1},
                                                  {"Snapshot", 1},
                                                  {"StringFilter", 1}};
  int wrappers = 0;
  for (const MessageSchema* schema : allMessageSchemas()) {
    SCOPED_TRACE(schema->name);
    int repeated = 0;
    for (const FieldSchema& field : schema->fieldList()) repeated += field.repeated();
    auto it = repeatedCounts.find(schema->name);
    EXPECT_EQ(repeated, it == repeatedCounts.end() ? 0 : it->second);
    const std::string name = schema->name;
    EXPECT_EQ(schema->hasWrapper, name != "Region" && name != "SstmSetting");
    EXPECT_EQ(schema->hasDecode, name != "SstmSetting");
    EXPECT_EQ(schema->hasEncode, name != "Region" && name != "SstmSetting");
    wrappers += schema->hasWrapper;
  }
  EXPECT_EQ(wrappers, 40);
}

TEST(MessageSchemas, TheFiveSchemaDefaults) {
  std::map<std::string, int64_t> defaults;
  for (const MessageSchema* schema : allMessageSchemas()) {
    for (const FieldSchema& field : schema->fieldList()) {
      if (field.defaultValue) {
        defaults[std::string(schema->name) + "." + std::to_string(field.tag)] = *field.defaultValue;
      }
    }
  }
  const std::map<std::string, int64_t> expected{{"MeasurementBatch.9", 0},
                                                {"MeasurementConfig.8", 0},
                                                {"PsmSetting.1", 14},
                                                {"PsmSetting.2", 11},
                                                {"PsmSetting.3", 60}};
  EXPECT_EQ(defaults, expected);
}

TEST(MessageSchemas, NamedFieldIdsLandOnTheirRows) {
  EXPECT_STREQ(kEventParamSchema.fields[EventParamField::param_value].name, "param_value");
  EXPECT_STREQ(kFlagSchema.fields[FlagField::bool_value].name, "bool_value");
  EXPECT_STREQ(kRuntimeEntitySchema.fields[RuntimeEntityField::number_value].name, "number_value");
  EXPECT_EQ(EventFilterField::session_scoped, 7);
  EXPECT_EQ(EventFilterField::dynamic, 5);
  EXPECT_EQ(EventFilterField::sequence, 6);
  EXPECT_EQ(PropertyFilterField::session_scoped, 5);
  EXPECT_EQ(PropertyFilterField::dynamic, 3);
  EXPECT_EQ(PropertyFilterField::sequence, 4);
  EXPECT_EQ(MeasurementConfigField::consent_config, 12);
  EXPECT_EQ(MeasurementBundleField::retry_count, 35);
  EXPECT_EQ(MeasurementBundleField::end_timestamp_millis, 5);
}

} // namespace
} // namespace messages
