#include "common/util/json.h"

#include <gtest/gtest.h>

namespace ferrowin::common {
namespace {

struct Record {
  std::string name;
  int64_t count = 0;
  std::optional<bool> flag;
  std::optional<std::string> note;

  Json toJson() const {
    Json j = Json::object();
    j["name"] = name;
    j["count"] = count;
    setOptional(j, "flag", flag);
    setOptional(j, "note", note);
    return j;
  }
  static Expected<Record, JsonError> decode(std::string_view text) {
    auto parsed = parseJson(text);
    if (!parsed) return make_unexpected(parsed.error());
    JsonReader reader(*parsed);
    Record r;
    r.name = reader.required<std::string>("name");
    r.count = reader.required<int64_t>("count");
    r.flag = reader.optional<bool>("flag");
    r.note = reader.optional<std::string>("note");
    if (!reader.ok()) return make_unexpected(*reader.error());
    return r;
  }
};

TEST(Json, EncodesCompactlyWithKeysInCodePointOrderAndOmitsAbsentOptionals) {
  Record r{"pad", 3, std::nullopt, std::nullopt};
  EXPECT_EQ(encodeJson(r.toJson()), R"({"count":3,"name":"pad"})");
  Json j = Json::object();
  for (const char* key : {"b", "B", "a", "_", "é", "Z", "aa"}) j[key] = 1;
  EXPECT_EQ(encodeJson(j), R"({"B":1,"Z":1,"_":1,"a":1,"aa":1,"b":1,"é":1})");
  j["k"] = std::string("\xff\xfe", 2);  // invalid UTF-8 is replaced, not thrown
  EXPECT_NO_THROW((void)encodeJson(j));
}

TEST(Json, DecodeAcceptsMissingOrNullOptionalsAndIgnoresUnknownKeys) {
  auto r = Record::decode(R"({"name":"x","count":2,"flag":null,"extra":[1,{"a":2}]})");
  ASSERT_TRUE(r) << r.error().description();
  EXPECT_EQ(r->name, "x");
  EXPECT_EQ(r->count, 2);
  EXPECT_FALSE(r->flag.has_value());
  EXPECT_FALSE(r->note.has_value());
}

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
