// Runs a fuzz target without libFuzzer: every file in the corpus directories given on the command
// line, then a fixed series of pseudo-random inputs (so the target is exercised even with an empty
// corpus). Used in ordinary builds so CI replays every corpus.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  size_t files = 0;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[i], ec)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++files;
    }
  }
  std::mt19937 random(12345);
  for (int round = 0; round < 20000; ++round) {
    std::vector<uint8_t> bytes(random() % 300);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("replayed %zu corpus files and 20000 random inputs\n", files);
  return 0;
}
