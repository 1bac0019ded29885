#include "common/util/base64.h"

#include <gtest/gtest.h>

namespace ferrowin::common {
namespace {

TEST(Base64, RejectsEverythingThatIsNotCanonicalPaddedStandardBase64) {
  for (const char* bad : {
           "Zg",        // padding missing
           "Zg=",       // padding short
           "Zg===",     // padding long
           "Zm9v\n",    // whitespace
           "Zm 9v",     // whitespace inside
           "Zm9v====",  // a whole group of padding
           "Z===",      // three padding characters
           "Zg==Zm9v",  // padding before the end
           "Zm=v",      // padding in the middle of a group
           "-_8=",      // URL-safe alphabet
           "Zh==",      // non-zero bits hidden by the padding
       }) {
    EXPECT_FALSE(base64Decode(bad).has_value()) << '"' << bad << '"';
  }
  EXPECT_FALSE(base64Decode(std::string_view("Zm9v\0\0\0\0", 8)).has_value());
  EXPECT_TRUE(base64Decode("").has_value());
}

}  // namespace
}  // namespace ferrowin::common
