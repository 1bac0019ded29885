#include <gtest/gtest.h>

#include "common/util/log.h"

namespace ferrowin::common {
namespace {

TEST(LogLevel, NamesInAnyLetterCaseAndNothingElse) {
  const std::pair<const char*, std::optional<spdlog::level::level_enum>> cases[] = {
      {"debug", spdlog::level::debug}, {"DEBUG", spdlog::level::debug},
      {"Info", spdlog::level::info},   {"warning", spdlog::level::warn},
      {"WARN", spdlog::level::warn},   {"error", spdlog::level::err},
      {"trace", spdlog::level::trace}, {"off", spdlog::level::off},
      {"verbose", std::nullopt},       {"", std::nullopt},
      {"info ", std::nullopt},         {"err", std::nullopt}};
  for (const auto& [text, level] : cases) EXPECT_EQ(parseLogLevel(text), level) << text;
}

}  // namespace
}  // namespace ferrowin::common
