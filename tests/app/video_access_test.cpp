// The capture routes on the synthetic display. Their slow work runs off the main executor: while a
// thumbnail takes its time (a screenshot that sleeps, standing in for a slow display server), a
// status request and a source list are answered at once, and the thumbnail still arrives.
#include "server/app/video_access.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "platform/fake/fake_host_info.h"
#include "platform/synthetic/synthetic_capture.h"
#include "tests/control/control_test_support.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::app {
namespace {

using Seconds = std::chrono::duration<double>;

// The synthetic backend with a screenshot that sleeps.
class SlowScreenshots final : public platform::CaptureBackend {
 public:
  explicit SlowScreenshots(double seconds) : seconds_(seconds) {}
  Expected<platform::ShareableContent, platform::CaptureError> shareableContent(
      bool onScreenWindowsOnly) override {
    return inner_.shareableContent(onScreenWindowsOnly);
  }
  uint32_t mainDisplayId() override { return inner_.mainDisplayId(); }
  std::optional<platform::CaptureRect> displayBounds(uint32_t id) override {
    return inner_.displayBounds(id);
  }
  Expected<std::unique_ptr<platform::CaptureStream>, platform::CaptureError> createStream(
      const platform::CaptureFilter& filter, const platform::CaptureStreamConfiguration& config,
      platform::CaptureStream::Delegate delegate) override {
    return inner_.createStream(filter, config, std::move(delegate));
  }
  Expected<platform::BgraFrame, platform::CaptureError> screenshot(
      const platform::CaptureFilter& filter, int width, int height, bool cursor) override {
    std::this_thread::sleep_for(Seconds(seconds_));
    return inner_.screenshot(filter, width, height, cursor);
  }
  void setDisplayChangeHandler(std::function<void()> handler) override {
    inner_.setDisplayChangeHandler(std::move(handler));
  }

 private:
  double seconds_;
  platform::SyntheticCaptureBackend inner_;
};

TEST(HostVideoAccess, ASlowThumbnailDelaysNeitherStatusNorTheSourceList) {
  testing::TempDir dir;
  control::MainThread main;
  auto server =
      control::ControlServer::create({.main = &main.executor(),
                                      .dataDirectory = dir.path(),
                                      .verifier = std::make_shared<control::FakeProofVerifier>(),
                                      .bonjour = nullptr,
                                      .hostInfo = std::make_shared<platform::FakeHostInfo>(),
                                      .pairEveryConnection = false,
                                      .limits = {}});
  auto access = std::make_shared<HostVideoAccess>(
      std::weak_ptr<video::VideoServer>(),
      std::make_shared<capture::CaptureSourceManager>(std::make_shared<SlowScreenshots>(1.5)));
  server->setVideo(access);
  server->peers().authorize("key", "10.0.0.7");
  auto request = [&](const std::string& path) {
    return main.route(server, control::makeRequest("GET", path, "", "10.0.0.7"));
  };

  const auto started = std::chrono::steady_clock::now();
  auto thumbnail =
      std::async(std::launch::async, [&] { return request("/v1/capture/thumbnail?id=display:1"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the screenshot is under way
  const auto status = request("/v1/status");
  EXPECT_EQ(status.status, 200);
  const auto sources = request("/v1/capture/sources");
  EXPECT_EQ(sources.status, 200);
  EXPECT_NE(control::bodyText(sources).find("\"display:1\""), std::string::npos);
  EXPECT_LT(Seconds(std::chrono::steady_clock::now() - started).count(), 1.0);

  const auto jpeg = thumbnail.get();
  EXPECT_EQ(jpeg.status, 200);
  EXPECT_EQ(jpeg.contentType, "image/jpeg");
  ASSERT_GE(jpeg.body.size(), 2u);
  EXPECT_EQ(jpeg.body[0], 0xFF);  // JPEG start of image
  EXPECT_EQ(jpeg.body[1], 0xD8);
  EXPECT_GE(Seconds(std::chrono::steady_clock::now() - started).count(), 1.5);

  // An unknown source is not found; without a stream the selection waits for the next start.
  const auto missing = request("/v1/capture/thumbnail?id=display:9");
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(control::bodyText(missing), R"({"error":"not found"})");
  auto select = [&](const std::string& id) {
    return main.route(server, control::makeRequest("POST", "/v1/capture/source",
                                                   R"({"id":")" + id + "\"}", "10.0.0.7"));
  };
  EXPECT_EQ(control::bodyText(select("display:1")),
            R"({"applied":false,"selectedId":"display:1"})");
  EXPECT_EQ(select("window:5").status, 404);
  main.run([&] {
    server.reset();
    access.reset();
  });
}

}  // namespace
}  // namespace ferrowin::app
