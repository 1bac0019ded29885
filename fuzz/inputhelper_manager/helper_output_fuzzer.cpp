// What the helper writes back: the preflight answer and the standard-error stream the host splits
// into log lines. Any bytes decode or fail cleanly; no line is longer than the cap, and the lines
// plus the newlines between them account for every byte.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "server/inputhelper/helper_output.h"

using namespace ferrowin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (auto result = inputhelper::decodePreflightResult(bytes); !result) {
    if (result.error().description().empty()) std::abort();
  }
  const std::string text = inputhelper::textOrBinary(bytes);
  if (text != "<binary>" && text != bytes) std::abort();

  // A classified line is the line or its tail.
  if (!bytes.ends_with(inputhelper::classifyHelperLine(bytes).text)) std::abort();

  constexpr size_t kMax = 64;
  inputhelper::OutputLineSplitter splitter(kMax);
  size_t accounted = 0;
  for (auto piece : {bytes.substr(0, size / 3), bytes.substr(size / 3)}) {
    for (const auto& line : splitter.feed(piece)) {
      if (line.size() > kMax || line.find('\n') != std::string::npos) std::abort();
      accounted += line.size();
    }
  }
  if (auto rest = splitter.finish()) accounted += rest->size();
  size_t newlines = 0;
  for (char byte : bytes) newlines += byte == '\n';
  if (accounted + newlines != size) std::abort();
  return 0;
}
