#include "common/util/json.h"

#include <gtest/gtest.h>

namespace ferrowin::common {
namespace {

struct Record {
  std::string name;
  int64_t count = 0;
  std::optional<bool> flag;
  std::optional<uint8_t> small;
  std::optional<uint32_t> positive;
  std::optional<std::vector<std::string>> tags;

  static Expected<Record, JsonError> decode(std::string_view text) {
    auto parsed = parseJson(text);
    if (!parsed) return make_unexpected(parsed.error());
    JsonReader reader(*parsed);
    Record r;
    r.name = reader.required<std::string>("name");
    r.count = reader.required<int64_t>("count");
    r.flag = reader.optional<bool>("flag");
    r.small = reader.optional<uint8_t>("small");
    r.positive = reader.optional<uint32_t>("positive");
    r.tags = reader.optionalArray<std::string>("tags");
    if (!reader.ok()) return make_unexpected(*reader.error());
    return r;
  }
};

TEST(Json, DecodeFailuresNameTheFieldAndNumbersMustFitItsType) {
  struct Case {
    std::string text;
    const char* description;
  } cases[] = {
      {R"({"count":2})", "missing: name"},
      {R"({"name":null,"count":2})", "missing: name"},
      {R"({"name":5,"count":2})", "wrong type: name"},
      {R"({"name":"x","count":"2"})", "wrong type: count"},
      {R"({"name":"x","count":2.5})", "wrong type: count"},
      {R"({"name":"x","count":18446744073709551615})", "wrong type: count"},
      {R"({"name":"x","count":2,"flag":"yes"})", "wrong type: flag"},
      {R"({"name":"x","count":2,"small":300})", "wrong type: small"},
      {R"({"name":"x","count":2,"positive":-1})", "wrong type: positive"},
      {R"({"name":"x","count":2,"tags":["a",1]})", "wrong type: tags"},
      {R"({"name":"x","count":2,"tags":"a"})", "wrong type: tags"},
      {R"([1,2])", "not an object"},
      // Deep nesting parses without exhausting the stack.
      {std::string(100000, '[') + std::string(100000, ']'), "not an object"},
      {R"({"name":"x","count":2} trailing)", "not JSON"},
      {"", "not JSON"},
      {R"({"name":"x","count":)", "not JSON"},
  };
  for (const auto& c : cases) {
    auto r = Record::decode(c.text);
    ASSERT_FALSE(r) << c.text.substr(0, 60);
    EXPECT_EQ(r.error().description(), c.description) << c.text.substr(0, 60);
  }
  auto whole = Record::decode(R"({"name":"x","count":4.0,"small":255,"tags":["a","b"]})");
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->count, 4);
  EXPECT_EQ(whole->small, 255);
  EXPECT_EQ(whole->tags, (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace ferrowin::common
