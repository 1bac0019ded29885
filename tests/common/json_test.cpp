#include "common/util/json.h"

#include <gtest/gtest.h>

namespace ferrowin::common {
namespace {

struct Record {
  std::string name;
  int64_t count = 0;
  std::optional<bool> flag;

  static Expected<Record, JsonError> decode(std::string_view text) {
    auto parsed = parseJson(text);
    if (!parsed) return make_unexpected(parsed.error());
    JsonReader reader(*parsed);
    Record r;
    r.name = reader.required<std::string>("name");
    r.count = reader.required<int64_t>("count");
    r.flag = reader.optional<bool>("flag");
    if (!reader.ok()) return make_unexpected(*reader.error());
    return r;
  }
};

TEST(Json, DecodeFailuresNameTheField) {
  struct Case {
    const char* text;
    const char* description;
  } cases[] = {
      {R"({"count":2})", "missing: name"},
      {R"({"name":null,"count":2})", "missing: name"},
      {R"({"name":5,"count":2})", "wrong type: name"},
      {R"({"name":"x","count":"2"})", "wrong type: count"},
      {R"({"name":"x","count":2.5})", "wrong type: count"},
      {R"({"name":"x","count":2,"flag":"yes"})", "wrong type: flag"},
      {R"([1,2])", "not an object"},
      {R"({"name":"x","count":2} trailing)", "not JSON"},
      {"", "not JSON"},
      {R"({"name":"x","count":)", "not JSON"},
  };
  for (const auto& c : cases) {
    auto r = Record::decode(c.text);
    ASSERT_FALSE(r) << c.text;
    EXPECT_EQ(r.error().description(), c.description) << c.text;
  }
}

TEST(Json, NumbersOutOfTheFieldsRangeAndArraysOfOtherTypesAreWrongType) {
  const Json parsed =
      *parseJson(R"({"small":300,"neg":-1,"big":18446744073709551615,"whole":4.0,"ok":["a","b"],)"
                 R"("bad":["a",1],"notArray":"a"})");
  const auto wrong = [&](auto read) {
    JsonReader reader(parsed);
    read(reader);
    return reader.ok() ? std::string() : reader.error()->description();
  };
  EXPECT_EQ(wrong([](JsonReader& r) { (void)r.optional<uint8_t>("small"); }), "wrong type: small");
  EXPECT_EQ(wrong([](JsonReader& r) { (void)r.optional<uint32_t>("neg"); }), "wrong type: neg");
  EXPECT_EQ(wrong([](JsonReader& r) { (void)r.optional<int64_t>("big"); }), "wrong type: big");
  EXPECT_EQ(wrong([](JsonReader& r) { EXPECT_EQ(r.optional<int>("whole"), 4); }), "");
  EXPECT_EQ(wrong([](JsonReader& r) {
              EXPECT_EQ(r.requiredArray<std::string>("ok"), (std::vector<std::string>{"a", "b"}));
            }),
            "");
  EXPECT_EQ(wrong([](JsonReader& r) { (void)r.requiredArray<std::string>("bad"); }),
            "wrong type: bad");
  EXPECT_EQ(wrong([](JsonReader& r) { (void)r.optionalArray<std::string>("notArray"); }),
            "wrong type: notArray");
}

TEST(Json, DeepNestingIsParsedWithoutCrashing) {
  std::string deep(100000, '[');
  deep += std::string(100000, ']');
  auto parsed = parseJson(deep);
  EXPECT_TRUE(parsed.has_value());
}

}  // namespace
}  // namespace ferrowin::common
