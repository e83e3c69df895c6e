#include "platform/object.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/error.h"
#include "platform/log.h"
#include "platform/numbers.h"

namespace platform {
namespace {

TEST(ObjectTest, KeepsTheKindsApart) {
  EXPECT_TRUE(Object().isNil());
  EXPECT_TRUE(Object::null().isNull());
  EXPECT_EQ(Object(true).kind(), Object::Kind::Bool);
  EXPECT_EQ(Object(-3).kind(), Object::Kind::Int);
  EXPECT_EQ(Object(3u).kind(), Object::Kind::UInt);
  EXPECT_EQ(Object(1.5).kind(), Object::Kind::Double);
  EXPECT_EQ(Object("x").kind(), Object::Kind::String);
  EXPECT_EQ(Object(Bytes{}).kind(), Object::Kind::Data);
  EXPECT_NE(Object(Bytes{}), Object());
  EXPECT_NE(Object(""), Object(Bytes{}));
}

TEST(ObjectTest, NumbersCompareByValueAcrossKinds) {
  EXPECT_EQ(Object(1), Object(1.0));
  EXPECT_EQ(Object(true), Object(1u));
  EXPECT_NE(Object(-1), Object(std::numeric_limits<uint64_t>::max()));
  EXPECT_NE(Object(1), Object("1"));
}

TEST(ObjectTest, DescriptionsAndContainers) {
  EXPECT_EQ(Object().description(), "(null)");
  EXPECT_EQ(Object::null().description(), "<null>");
  EXPECT_EQ(Object(0.1).description(), "0.1");
  EXPECT_EQ(Object(5.0).description(), "5");
  EXPECT_EQ(Object(Bytes{1, 2, 3, 4, 5}).description(), "<01020304 05>");
  Object dict(Object::Dictionary{{"a", Object(1)}, {"b", Object(Object::Array{Object("x")})}});
  EXPECT_EQ(dict["a"], Object(1));
  EXPECT_TRUE(dict["missing"].isNil());
  EXPECT_EQ(dict["b"].array()->at(0), Object("x"));
  Object copy = dict;
  EXPECT_EQ(copy, dict);
}

TEST(ObjectTest, ErrorsCarryDomainCodeAndDescription) {
  ErrorRef e = Error::withDescription("d", 7, "went wrong");
  EXPECT_EQ(e->localizedDescription(), "went wrong");
  EXPECT_EQ(Object(e).error()->code(), 7);
  ErrorRef out;
  setError(nullptr, e);  // an absent out-parameter is ignored
  setError(&out, e);
  EXPECT_EQ(out, e);
}

TEST(SaturatingCastTest, ClampsAndMapsNaNToZero) {
  EXPECT_EQ(saturatingCast<int32_t>(std::nan("")), 0);
  EXPECT_EQ(saturatingCast<int32_t>(1e300), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(saturatingCast<int32_t>(-1e300), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(saturatingCast<int64_t>(9.3e18), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(saturatingCast<int64_t>(-2.9), -2);
  EXPECT_EQ(saturatingCast<uint64_t>(-5.0), 0u);
}

TEST(LogCaptureTest, CapturesBothChannels) {
  LogCapture capture;
  nslog("one line");
  stdoutPrint("no line end");
  stdoutPrint("\n");
  EXPECT_EQ(capture.nslogLines(), std::vector<std::string>{"one line"});
  EXPECT_EQ(capture.stdoutText(), "no line end\n");
}

}  // namespace
}  // namespace platform
