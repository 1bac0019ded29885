#pragma once
// Writes decoded audio as a 16-bit PCM WAV file. The header's sizes are written when the file is
// closed, so a file from a run that was killed still holds its samples.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>

#include "common/util/expected.h"

namespace ferrowin::client {

class WavWriter {
 public:
  WavWriter() = default;
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  [[nodiscard]] Expected<void, std::string> open(const std::filesystem::path& path, int channels,
                                                 int sampleRate);
  bool isOpen() const { return file_ != nullptr; }
  int channels() const { return channels_; }
  /// Interleaved samples in [-1, 1] (clipped beyond).
  void write(std::span<const float> samples);
  /// Writes the sizes and closes; returns whether everything reached the file.
  [[nodiscard]] Expected<void, std::string> close();

 private:
  void writeHeader(uint32_t dataBytes);
  std::FILE* file_ = nullptr;
  std::filesystem::path path_;
  int channels_ = 0;
  int sampleRate_ = 0;
  uint64_t dataBytes_ = 0;
  bool failed_ = false;
};

}  // namespace ferrowin::client
