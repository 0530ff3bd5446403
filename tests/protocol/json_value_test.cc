#include "protocol/json_value.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "protocol/json_rpc.h"

namespace zelk {
namespace {

TEST(JSONValue, NumbersUseTheShortestRoundTripFormWithoutTrailingZero) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {{7, "7"},         {3.0, "3"},     {2.5, "2.5"},       {1e20, "1e+20"},
                        {-0.0, "0"},      {0.1, "0.1"},   {-12, "-12"},       {1e-7, "1e-07"},
                        {123456789012.0, "123456789012"}, {9007199254740993.0, "9007199254740992"},
                        {1.0 / 3, "0.3333333333333333"}};
  for (const auto& c : cases) EXPECT_EQ(JSONValue(c.value).encode(), c.text) << c.value;
}

TEST(JSONValue, NonFiniteNumbersCannotBeEncoded) {
  EXPECT_THROW(JSONValue(std::nan("")).encode(), JSONEncodeError);
  JSONValue nested = JSONObject{{"a", JSONArray{std::numeric_limits<double>::infinity()}}};
  EXPECT_THROW(nested.encode(), JSONEncodeError);
}

TEST(JSONValue, StringsEscapeSlashesAndControlsButKeepUtf8) {
  EXPECT_EQ(JSONValue("a/b").encode(), "\"a\\/b\"");
  EXPECT_EQ(JSONValue("q\"\\\n\t\x01").encode(), "\"q\\\"\\\\\\n\\t\\u0001\"");
  EXPECT_EQ(JSONValue("caf\xC3\xA9 \xF0\x9F\x98\x80").encode(), "\"caf\xC3\xA9 \xF0\x9F\x98\x80\"");
}

TEST(JSONValue, PlainSlashesLeaveOnlySlashesUnescaped) {
  JSONValue v(JSONObject{{"a/b", JSONValue("c/d \\/ \"e\"\n")}});
  EXPECT_EQ(v.encode(JSONValue::Slashes::plain), "{\"a/b\":\"c/d \\\\/ \\\"e\\\"\\n\"}");
  EXPECT_EQ(v.encode(), "{\"a\\/b\":\"c\\/d \\\\\\/ \\\"e\\\"\\n\"}");
}

TEST(JSONValue, CompactAndPrettyForms) {
  JSONValue v = JSONObject{{"b", JSONArray{1, true, nullptr}}, {"a", JSONObject{}}};
  EXPECT_EQ(v.encode(), R"({"a":{},"b":[1,true,null]})");
  EXPECT_EQ(v.encodePretty(), "{\n  \"a\" : {},\n  \"b\" : [\n    1,\n    true,\n    null\n  ]\n}");
}

TEST(JSONValue, DecodingKeepsBooleansAndNumbersApart) {
  JSONValue v = JSONValue::parse(R"([true, 1, "1", null, {"k": false}])");
  const JSONArray& a = *v.array();
  EXPECT_TRUE(a[0].isBool());
  EXPECT_TRUE(a[1].isNumber());
  EXPECT_TRUE(a[2].isString());
  EXPECT_TRUE(a[3].isNull());
  EXPECT_TRUE(a[4].find("k")->isBool());
}

TEST(JSONValue, NumberValueReadsNumbersAndWholeNumericStrings) {
  struct Case {
    JSONValue value;
    std::optional<double> expected;
  };
  const Case cases[] = {{JSONValue(12), 12.0},     {JSONValue("250"), 250.0},
                        {JSONValue("250 "), {}},   {JSONValue(" 250"), {}},
                        {JSONValue("2.5e3"), 2500.0}, {JSONValue("-7"), -7.0},
                        {JSONValue(true), {}},     {JSONValue(""), {}},
                        {JSONValue("12abc"), {}},  {JSONValue(nullptr), {}},
                        {JSONValue(JSONArray{1}), {}}};
  for (const auto& c : cases) EXPECT_EQ(c.value.numberValue(), c.expected) << c.value.encode();
}

TEST(JSONValue, EqualityIsStructural) {
  EXPECT_FALSE(JSONValue(JSONArray{1, "1"}) == JSONValue(JSONArray{"1", 1}));
  EXPECT_TRUE(JSONValue::parse(R"({"a":1,"b":[2]})") == JSONValue::parse(R"({"b":[2],"a":1})"));
  EXPECT_TRUE(JSONValue("caf\xC3\xA9") == JSONValue("cafe\xCC\x81"));  // canonical equivalence
  EXPECT_FALSE(JSONValue(1) == JSONValue(true));
  EXPECT_FALSE(JSONValue(nullptr) == JSONValue(0));
  EXPECT_TRUE(JSONValue(nullptr) == JSONValue(nullptr));
  EXPECT_FALSE(JSONValue(JSONObject{{"a", 1}}) == JSONValue(JSONObject{{"a", 1}, {"b", 2}}));
}

TEST(JSONValue, RejectsDeepNestingWithoutRecursing) {
  std::string deep(100000, '[');
  EXPECT_THROW(JSONValue::parse(deep), JSONParseError);
  std::string ok = std::string(500, '[') + std::string(500, ']');
  EXPECT_NO_THROW(JSONValue::parse(ok));
}

TEST(JSONRPCRequest, DecodingRules) {
  auto withNullId = JSONRPCRequest::decode(R"({"jsonrpc":"2.0","id":null,"method":"ping"})");
  ASSERT_TRUE(withNullId);
  EXPECT_FALSE(withNullId->id.has_value());
  auto withoutId = JSONRPCRequest::decode(R"({"jsonrpc":"2.0","method":"ping","params":null})");
  ASSERT_TRUE(withoutId);
  EXPECT_FALSE(withoutId->id.has_value());
  EXPECT_FALSE(withoutId->params.has_value());
  EXPECT_FALSE(JSONRPCRequest::decode(R"({"id":1,"method":"ping"})"));
  EXPECT_FALSE(JSONRPCRequest::decode(R"({"jsonrpc":2,"id":1,"method":"ping"})"));
  EXPECT_FALSE(JSONRPCRequest::decode(R"({"jsonrpc":"2.0","id":1})"));
  EXPECT_FALSE(JSONRPCRequest::decode("[1]"));
  EXPECT_FALSE(JSONRPCRequest::decode("not json"));
  EXPECT_TRUE(JSONRPCRequest::decode(R"({"jsonrpc":"1.0","id":1,"method":"x"})"));  // never checked
}

TEST(JSONRPCResponse, EncodingRules) {
  EXPECT_EQ(JSONRPCResponse::success(JSONValue(7.0), JSONObject{}).encode(),
            R"({"jsonrpc":"2.0","id":7,"result":{}})");
  EXPECT_EQ(JSONRPCResponse::success(JSONValue("x"), JSONObject{}).encode(),
            R"({"jsonrpc":"2.0","id":"x","result":{}})");
  EXPECT_EQ(JSONRPCResponse::failure(std::nullopt, -32700, "Parse error").encode(),
            R"({"jsonrpc":"2.0","error":{"code":-32700,"message":"Parse error"}})");
  EXPECT_FALSE(JSONRPCResponse::success(JSONValue(1), JSONValue(std::nan(""))).encode());
}

}  // namespace
}  // namespace zelk
