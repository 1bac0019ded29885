#include "client/audio/wav_writer.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace ferrowin::client {
namespace {

void putLe(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

WavWriter::~WavWriter() {
  if (file_) (void)close();
}

Expected<void, std::string> WavWriter::open(const std::filesystem::path& path, int channels,
                                            int sampleRate) {
  if (file_) return tl::unexpected(std::string("WAV file already open"));
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) return tl::unexpected("cannot write " + path.string());
  path_ = path;
  channels_ = channels;
  sampleRate_ = sampleRate;
  dataBytes_ = 0;
  failed_ = false;
  writeHeader(0);
  return {};
}

void WavWriter::writeHeader(uint32_t dataBytes) {
  std::vector<uint8_t> header;
  const auto channels = static_cast<uint32_t>(channels_);
  const auto rate = static_cast<uint32_t>(sampleRate_);
  header.insert(header.end(), {'R', 'I', 'F', 'F'});
  putLe(header, 36 + dataBytes, 4);
  header.insert(header.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  putLe(header, 16, 4);
  putLe(header, 1, 2);  // PCM
  putLe(header, channels, 2);
  putLe(header, rate, 4);
  putLe(header, rate * channels * 2, 4);
  putLe(header, channels * 2, 2);
  putLe(header, 16, 2);
  header.insert(header.end(), {'d', 'a', 't', 'a'});
  putLe(header, dataBytes, 4);
  if (std::fwrite(header.data(), 1, header.size(), file_) != header.size()) failed_ = true;
}

void WavWriter::write(std::span<const float> samples) {
  if (!file_ || samples.empty()) return;
  // Stay below the 4 GiB the header's sizes can say.
  if (dataBytes_ + samples.size() * 2 > 0xFFFFFFFFull - 36) return;
  std::vector<uint8_t> bytes;
  bytes.reserve(samples.size() * 2);
  for (float sample : samples) {
    const auto value =
        static_cast<int16_t>(std::lround(std::clamp(sample, -1.0f, 1.0f) * 32767.0f));
    putLe(bytes, static_cast<uint16_t>(value), 2);
  }
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) failed_ = true;
  dataBytes_ += bytes.size();
}

Expected<void, std::string> WavWriter::close() {
  if (!file_) return {};
  if (std::fseek(file_, 0, SEEK_SET) == 0) {
    writeHeader(static_cast<uint32_t>(dataBytes_));
  } else {
    failed_ = true;
  }
  if (std::fclose(file_) != 0) failed_ = true;
  file_ = nullptr;
  if (failed_) return tl::unexpected("could not write all of " + path_.string());
  return {};
}

}  // namespace ferrowin::client
