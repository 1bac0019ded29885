// ferrowin-client stream against a real transport: the binary receives everything sent, recovering
// the datagrams it drops on purpose. A lost final datagram is only noticed at the next keepalive, so
// the run lasts long enough for a few.

#include <gtest/gtest.h>

#include <future>

#include "server/video/udp_transport.h"
#include "tests/support/run_command.h"
#include "tests/video/transport_fixture.h"

namespace ferrowin::video {
namespace {

using namespace fixture;

TEST(ClientCli, StreamRecoversDroppedDatagrams) {
  MainThread main;
  auto streamer = std::make_shared<ScriptedStreamer>();
  auto stats = std::make_shared<VideoStreamStats>();
  const uint16_t port = freePort();
  auto transport = VideoUDPTransport::create(main.context());
  transport->setAllowPeer([](const std::string&) { return true; });
  ASSERT_TRUE(transport->start(port, streamer, stats, nullptr, {}));

  const std::string command = std::string(FERROWIN_BINARY_DIR) +
                              "/bin/ferrowin-client stream --seconds 4 --drop 0.1 --host 127.0.0.1 "
                              "--transport udp_arq --video-port " +
                              std::to_string(port);
  auto output = std::async(std::launch::async, ferrowin::testing::runCommand, command);
  ASSERT_TRUE(streamer->waitForStarts(1));
  for (int i = 0; i < 60; ++i) transport->sendEncoded(Bytes(3000, 1), i == 0, i);
  const std::string text = output.get();
  EXPECT_NE(text.find("total messages=60 frames=60 keyframes=1 lost=0"), std::string::npos)
      << text;
  transport->stop();
  main.sync();
}

}  // namespace
}  // namespace ferrowin::video
