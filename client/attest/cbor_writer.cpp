#include "client/attest/cbor_writer.h"

namespace ferrowin::client::attest::cbor {

namespace {

void writeHead(std::vector<uint8_t>& out, uint8_t major, uint64_t argument) {
  const uint8_t type = static_cast<uint8_t>(major << 5);
  if (argument < 24) {
    out.push_back(type | static_cast<uint8_t>(argument));
    return;
  }
  int width = argument <= 0xff ? 1 : argument <= 0xffff ? 2 : argument <= 0xffffffff ? 4 : 8;
  const uint8_t info = width == 1 ? 24 : width == 2 ? 25 : width == 4 ? 26 : 27;
  out.push_back(type | info);
  for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
    out.push_back(static_cast<uint8_t>(argument >> shift));
}

}  // namespace

void writeUnsigned(std::vector<uint8_t>& out, uint64_t value) { writeHead(out, 0, value); }
void writeNegative(std::vector<uint8_t>& out, uint64_t magnitude) { writeHead(out, 1, magnitude); }

void writeBytes(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
  writeHead(out, 2, bytes.size());
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void writeText(std::vector<uint8_t>& out, std::string_view text) {
  writeHead(out, 3, text.size());
  out.insert(out.end(), text.begin(), text.end());
}

void writeArrayHeader(std::vector<uint8_t>& out, uint64_t count) { writeHead(out, 4, count); }
void writeMapHeader(std::vector<uint8_t>& out, uint64_t pairs) { writeHead(out, 5, pairs); }

}  // namespace ferrowin::client::attest::cbor
