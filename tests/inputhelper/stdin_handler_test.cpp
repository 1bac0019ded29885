#include "inputhelper/stdin_handler.h"

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"

namespace ferrowin::inputhelper {
namespace {

using common::CapturePointerGeometry;

TEST(LineSplitter, CutsAtNewlinesAndKeepsTheRest) {
  LineSplitter splitter;
  EXPECT_TRUE(splitter.feed("{\"a\":").empty());
  EXPECT_EQ(splitter.feed("1}\n{\"b\":2}\n{\"c\""),
            (std::vector<std::string>{"{\"a\":1}", "{\"b\":2}"}));
  EXPECT_EQ(splitter.pendingBytes(), 4u);
  EXPECT_EQ(splitter.feed("\n\n"), (std::vector<std::string>{"{\"c\"", ""}));
  EXPECT_EQ(splitter.pendingBytes(), 0u);
}

class StdinHandlerTest : public ::testing::Test {
 protected:
  StdinHandlerTest()
      : handler_({allowlist_, geometry_, session_,
                  [this](std::function<void()> work) { posted_.push_back(std::move(work)); },
                  [this](std::string_view text) { stderr_ += text; }}) {}

  void line(std::string_view text) { handler_.handle(text); }

  PeerAllowlist allowlist_;
  common::CapturePointerGeometryStore geometry_;
  SessionBox session_;
  std::vector<std::function<void()>> posted_;
  std::string stderr_;
  StdinLineHandler handler_;
  ferrowin::testing::LogCapture logs_;
};

TEST_F(StdinHandlerTest, SteamSupportIsKeptForALaterServer) {
  line(R"({"steamSupport":false})");
  line("{\"steamSupport\":true}\r ");
  EXPECT_TRUE(session_.steamSupport);
  EXPECT_EQ(stderr_, "steam support: off\nsteam support: on\n");
  for (auto& work : posted_) work();  // no server yet: nothing to apply
}

TEST_F(StdinHandlerTest, LookTuningIsClampedAndKept) {
  line(R"({"remapLook":true,"sensitivity":10,"acceleration":-1,"deadzone":0.5,)"
       R"("verticalScale":0.1,"stickCurve":"extraWide","rampCurve":"smoothstep"})");
  EXPECT_EQ(stderr_,
            "remap: sensitivity=4.0 accel=0.0 dz=0.25 curve=extraWide ramp=smoothstep "
            "vScale=0.25\n");
  ASSERT_TRUE(session_.lookTuning);
  EXPECT_EQ(*session_.lookTuning,
            (common::GamepadRemapLookTuning{4.0, 0.0, 0.25, common::LookStickCurve::extraWide,
                                            common::LookRampCurve::smoothstep, 0.25}));
  EXPECT_EQ(posted_.size(), 1u);
}

// The formats are tried in order: peers, steam support, look tuning, geometry. A line none of the
// others takes is geometry, which needs all six keys; anything less clears it.
TEST_F(StdinHandlerTest, GeometryNeedsAllSixKeysLinesNoFormatTakesClearItAndPeersAreSilent) {
  line(
      R"({"clear":false,"x":100,"y":50.25,"w":1280,"h":720,"activeWidth":1920,"activeHeight":1080})");
  EXPECT_EQ(geometry_.read(), (CapturePointerGeometry{{100, 50.25, 1280, 720}, 1920, 1080}));
  EXPECT_EQ(stderr_, "geometry: updated rect=(100.0,50.2 1280.0x720.0) active=1920x1080\n");
  const char* clearing[] = {
      R"({"x":100,"y":50,"w":1280,"h":720,"activeWidth":1920})",
      R"({"clear":true,"x":100,"y":50,"w":1280,"h":720,"activeWidth":1920,"activeHeight":1})",
      "{}",
      R"({"peers":"10.0.0.2"})",  // peers of the wrong type
      R"({"remapLook":false,"sensitivity":1,"acceleration":0,"deadzone":0,)"
      R"("verticalScale":1,"stickCurve":"linear","rampCurve":"linear"})",
      R"({"remapLook":true,"sensitivity":1,"acceleration":0,"deadzone":0,)"
      R"("verticalScale":1,"stickCurve":"diagonal","rampCurve":"linear"})",
  };
  for (const char* text : clearing) {
    geometry_.set(CapturePointerGeometry{{1, 2, 3, 4}, 5, 6});
    line(text);
    EXPECT_FALSE(geometry_.read()) << text;
  }
  EXPECT_TRUE(stderr_.ends_with("\ngeometry: cleared\ngeometry: cleared\n"));
  EXPECT_FALSE(session_.lookTuning);

  // A line with both peers and geometry keys is an allowlist line; allowlist lines say nothing.
  geometry_.set(CapturePointerGeometry{{1, 2, 3, 4}, 5, 6});
  const std::string said = stderr_;
  line(R"({"peers":["10.0.0.1","fe80::1","10.0.0.1"],"clear":true})");
  EXPECT_TRUE(geometry_.read());
  EXPECT_TRUE(allowlist_.contains("fe80::1"));
  line(R"({"peers":[]})");
  EXPECT_FALSE(allowlist_.contains("10.0.0.1"));
  EXPECT_EQ(stderr_, said);
}

TEST_F(StdinHandlerTest, ABadLineChangesNothing) {
  const CapturePointerGeometry kept{{1, 2, 3, 4}, 5, 6};
  geometry_.set(kept);
  line("hello world");
  line("{\"x\":\"left\"}");
  line("[1,2]");
  line(std::string_view("\xFF\xFE", 2));
  line(R"({"activeWidth":1e300,"activeHeight":-9223472036854775808})");  // beyond int64
  EXPECT_EQ(geometry_.read(), kept);
  EXPECT_EQ(stderr_,
            "stdin: bad line hello world\nstdin: bad line {\"x\":\"left\"}\n"
            "stdin: bad line [1,2]\nstdin: bad line <binary>\n"
            "stdin: bad line {\"activeWidth\":1e300,\"activeHeight\":-9223472036854775808}\n");
  EXPECT_TRUE(logs_.contains("Bad stdin line: not JSON raw=hello world"));
  EXPECT_TRUE(logs_.contains("Bad stdin line: wrong type: x raw={\"x\":\"left\"}"));
}

// The host's lines for the helper (that both sides read the geometry and the look settings alike
// runs end to end in the integration tests).
TEST(HelperStdinWire, ClearAndPeersLines) {
  EXPECT_EQ(common::encodeLine(common::PointerGeometryWire::from(std::nullopt)),
            "{\"clear\":true}\n");
  EXPECT_EQ(common::encodeLine(common::PeerAllowlistWire{{"::1", "10.0.0.1"}}),
            "{\"peers\":[\"::1\",\"10.0.0.1\"]}\n");
}

}  // namespace
}  // namespace ferrowin::inputhelper
