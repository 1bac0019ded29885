// CBOR decoder: any bytes decode or fail cleanly; a decoded text is always valid UTF-8.
#include <cstdlib>

#include "server/control/attest/cbor.h"

using namespace ferrowin::control::attest::cbor;

namespace {

void check(const Value& value) {
  if (auto text = value.text()) {
    if (!isValidUtf8({reinterpret_cast<const uint8_t*>(text->data()), text->size()})) std::abort();
  } else if (auto array = value.array()) {
    for (const auto& item : *array) check(item);
  } else if (auto map = value.map()) {
    for (const auto& [key, item] : *map) check(item);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto value = decode({data, size});
  if (value) check(*value);
  return 0;
}
