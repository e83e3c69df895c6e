// The .proto through which the benchmark's peer codec reads our batches
// (bench/messages_peer.proto) must describe exactly the schema tables:
// every message, and in each its fields in field-ID order with label, type,
// name and tag; enums are uint32 marked "// enum".
#include "measurement/messages/message_schemas.h"

#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace messages {
namespace {

std::string repositoryRoot() {
  const std::string file = __FILE__;
  return file.substr(0, file.rfind("tests/measurement/messages/"));
}

// The proto's messages: name to field lines, each "label type name = tag"
// with " enum" added for marked fields.
std::map<std::string, std::vector<std::string>> protoMessages() {
  std::ifstream in(repositoryRoot() + "bench/messages_peer.proto");
  EXPECT_TRUE(in.good());
  const std::regex messageLine(R"(^message (\w+) \{$)");
  const std::regex fieldLine(R"(^  (optional|repeated) (\w+) (\w+) = (\d+);(  // enum)?$)");
  std::map<std::string, std::vector<std::string>> messages;
  std::vector<std::string>* current = nullptr;
  std::string line;
  std::smatch match;
  while (std::getline(in, line)) {
    if (std::regex_match(line, match, messageLine)) {
      current = &messages[match[1]];
    } else if (line == "}") {
      current = nullptr;
    } else if (std::regex_match(line, match, fieldLine)) {
      EXPECT_NE(current, nullptr) << line;
      if (current) {
        current->push_back(match[1].str() + " " + match[2].str() + " " + match[3].str() + " = " +
                           match[4].str() + (match[5].matched ? " enum" : ""));
      }
    } else {
      EXPECT_TRUE(current == nullptr && (line.empty() || line.rfind("//", 0) == 0 ||
                                         line.rfind("syntax", 0) == 0 ||
                                         line.rfind("package", 0) == 0))
          << "unexpected line: " << line;
    }
  }
  return messages;
}

std::string protoType(const FieldSchema& field) {
  switch (field.type) {
  case FieldType::Bool: return "bool";
  case FieldType::Enum: return "uint32";
  case FieldType::Int32: return "int32";
  case FieldType::UInt32: return "uint32";
  case FieldType::Int64: return "int64";
  case FieldType::UInt64: return "uint64";
  case FieldType::Float: return "float";
  case FieldType::Double: return "double";
  case FieldType::String: return "string";
  case FieldType::Bytes: return "bytes";
  case FieldType::Message: return field.message->name;
  }
  return "?";
}

TEST(PeerProto, DescribesExactlyTheSchemaTables) {
  auto proto = protoMessages();
  for (const MessageSchema* schema : allMessageSchemas()) {
    SCOPED_TRACE(schema->name);
    std::vector<std::string> expected;
    for (const FieldSchema& field : schema->fieldList()) {
      expected.push_back(std::string(field.repeated() ? "repeated " : "optional ") +
                         protoType(field) + " " + field.name + " = " + std::to_string(field.tag) +
                         (field.type == FieldType::Enum ? " enum" : ""));
    }
    EXPECT_EQ(proto[schema->name], expected);
    proto.erase(schema->name);
  }
  EXPECT_TRUE(proto.empty()) << proto.size() << " messages the tables do not have";
}

}  // namespace
}  // namespace messages
