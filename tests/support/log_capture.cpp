#include "tests/support/log_capture.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "common/util/log.h"

namespace ferrowin::testing {

class LogCapture::Sink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<std::pair<std::string, std::string>> snapshot() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    lines_.emplace_back(std::string(msg.logger_name.begin(), msg.logger_name.end()),
                        std::string(msg.payload.begin(), msg.payload.end()));
  }
  void flush_() override {}

 private:
  std::vector<std::pair<std::string, std::string>> lines_;
};

LogCapture::LogCapture() : sink_(std::make_shared<Sink>()) { common::addLogSink(sink_); }
LogCapture::~LogCapture() { common::removeLogSink(sink_); }

std::vector<std::string> LogCapture::records() const {
  std::vector<std::string> out;
  for (auto& [name, message] : sink_->snapshot()) out.push_back(name + "|" + message);
  return out;
}

std::vector<std::string> LogCapture::messages() const {
  std::vector<std::string> out;
  for (auto& line : sink_->snapshot()) out.push_back(line.second);
  return out;
}

bool LogCapture::contains(const std::string& message) const {
  auto all = messages();
  return std::find(all.begin(), all.end(), message) != all.end();
}

bool LogCapture::waitFor(const std::string& message, double seconds) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!contains(message)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace ferrowin::testing
