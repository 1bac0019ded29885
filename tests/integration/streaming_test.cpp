// The real host streams its synthetic pattern to a paired client over each transport; the client
// decodes every frame.

#include <gtest/gtest.h>

#include <chrono>

#include "client/attest/dev_authority.h"
#include "client/control/control_client.h"
#include "client/control/pairing.h"
#include "client/video/hevc_decoder.h"
#include "client/video/video_client.h"
#include "common/util/files.h"
#include "tests/integration/host_process.h"
#include "tests/integration/small_stream.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::testing {
namespace {

struct Received {
  int decoded = 0;
  int errors = 0;
  std::string firstError;
};

/// Receives for `seconds`, decoding each frame as it arrives.
template <class VideoClient>
Received receive(VideoClient& video, double seconds) {
  Received result;
  client::HevcStreamDecoder decoder;
  EXPECT_TRUE(decoder.open());
  auto fail = [&](const std::string& text) {
    if (result.errors++ == 0) result.firstError = text;
  };
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  size_t seen = 0;
  while (std::chrono::steady_clock::now() < end) {
    video.messages().waitForTotal(seen + 1, 0.1);
    for (const auto& message : video.messages().take()) {
      ++seen;
      if (message.kind == video::MessageKind::parameterSets) {
        if (auto set = decoder.setParameterSets(message.payload); !set) fail(set.error());
      } else if (message.kind == video::MessageKind::videoFrame) {
        auto picture =
            decoder.decode(message.payload, message.flags & video::kKeyframeFlag, message.pts);
        if (!picture) {
          fail(picture.error());
        } else {
          EXPECT_EQ(picture->width, 320);
          EXPECT_EQ(picture->height, 180);
          ++result.decoded;
        }
      }
    }
  }
  return result;
}

class Streaming : public ::testing::TestWithParam<std::string> {};

TEST_P(Streaming, PairedClientDecodesTheSyntheticPattern) {
  if (!std::filesystem::exists(serverBinary()))
    GTEST_SKIP() << "ferrowin-server is not built at " << serverBinary();
  TempDir data, config, state;
  ASSERT_TRUE(common::writeFileAtomically(config.path() / "settings.json",
                                          "{\"ferrowin.video.transport\":\"" + GetParam() + "\"}",
                                          0600));
  auto authority = client::attest::DevAttestAuthority::open(state.path(), true);
  ASSERT_TRUE(authority);
  HostProcess host({data.path(), config.path(), authority->rootCertificatePath(), {}, 0});
  ASSERT_TRUE(host.start()) << host.log();
  client::ControlClient control({"127.0.0.1", host.port()}, state.path(), 10.0, true);
  ASSERT_TRUE(client::pairWithHost(control, *authority, state.path(), host.pairingCode()))
      << host.log();

  const client::VideoClientOptions options = smallStream(host);
  Received received;
  if (GetParam() == "tcp") {
    client::TcpVideoClient video(options);
    ASSERT_TRUE(video.start());
    received = receive(video, 3.0);
    video.stop();
  } else {
    client::UdpVideoClient video(options);
    ASSERT_TRUE(video.start());
    received = receive(video, 3.0);
    video.stop();
    EXPECT_TRUE(video.acknowledged());
  }
  EXPECT_GT(received.decoded, 10) << host.log();
  EXPECT_EQ(received.errors, 0) << received.firstError;
}

TEST(CaptureRoutes, ListThumbnailAndSelectOnTheSyntheticDisplay) {
  if (!std::filesystem::exists(serverBinary()))
    GTEST_SKIP() << "ferrowin-server is not built at " << serverBinary();
  TempDir data, config, state;
  auto authority = client::attest::DevAttestAuthority::open(state.path(), true);
  ASSERT_TRUE(authority);
  HostProcess host({data.path(), config.path(), authority->rootCertificatePath(), {}, 0});
  ASSERT_TRUE(host.start()) << host.log();
  client::ControlClient control({"127.0.0.1", host.port()}, state.path(), 10.0, true);
  ASSERT_TRUE(client::pairWithHost(control, *authority, state.path(), host.pairingCode()));

  auto sources = control.request("GET", "/v1/capture/sources");
  ASSERT_TRUE(sources);
  EXPECT_EQ(sources->status, 200);
  EXPECT_NE(sources->body.find("\"selectedId\":\"display:1\""), std::string::npos) << sources->body;
  EXPECT_NE(sources->body.find("\"id\":\"display:1\""), std::string::npos) << sources->body;

  auto thumbnail = control.request("GET", "/v1/capture/thumbnail?id=display%3A1");
  ASSERT_TRUE(thumbnail);
  EXPECT_EQ(thumbnail->status, 200);
  EXPECT_EQ(thumbnail->headers["content-type"], "image/jpeg");
  ASSERT_GT(thumbnail->body.size(), 2u);
  EXPECT_EQ(static_cast<uint8_t>(thumbnail->body[0]), 0xFF);  // JPEG start of image
  EXPECT_EQ(static_cast<uint8_t>(thumbnail->body[1]), 0xD8);
  auto missing = control.request("GET", "/v1/capture/thumbnail?id=display:9");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
  EXPECT_EQ(missing->body, "{\"error\":\"not found\"}");

  // Not streaming: the selection is kept for the next start.
  auto selected = control.request("POST", "/v1/capture/source", "{\"id\":\"display:1\"}");
  ASSERT_TRUE(selected);
  EXPECT_EQ(selected->status, 200);
  EXPECT_EQ(selected->body, "{\"applied\":false,\"selectedId\":\"display:1\"}");
  auto unknown = control.request("POST", "/v1/capture/source", "{\"id\":\"window:5\"}");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 404);
}

INSTANTIATE_TEST_SUITE_P(EachTransport, Streaming, ::testing::Values("udp_arq", "udp_fec", "tcp"));

}  // namespace
}  // namespace ferrowin::testing
