#pragma once
// The host's persistent server identifier ("server-id"): a random UUID in canonical upper-case
// form, made once and kept across restarts so a client recognises the host behind an address.

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

namespace ferrowin::control {

class ServerIdentifier {
 public:
  /// `directory` is the host's data folder.
  explicit ServerIdentifier(std::filesystem::path directory);

  /// Read (or made and written) at the first call, then the same text for the life of the
  /// process. A failed write is logged and the new identifier is still used. Thread-safe.
  std::string value();

 private:
  std::filesystem::path file_;
  std::once_flag once_;
  std::string value_;
};

/// A random (version 4) UUID, upper-case, 8-4-4-4-12.
std::string randomUUIDString();

}  // namespace ferrowin::control
