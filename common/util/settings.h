#pragma once
// The host's user defaults: typed values in one JSON object file, settings.json.
//
// A missing key (or a value of another type) reads as the caller's default. Every write replaces
// the file atomically and keeps keys this program does not know, so a newer or older build never
// loses another's settings. A file that is not a JSON object is set aside as
// "settings.json.corrupt" on the first write rather than silently overwritten. Thread-safe.

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "common/util/files.h"
#include "common/util/json.h"

namespace ferrowin::common {

class SettingsStore {
 public:
  /// Loads `directory`/settings.json if it exists.
  explicit SettingsStore(std::filesystem::path directory);

  bool boolValue(const std::string& key, bool fallback) const;
  std::optional<std::string> stringValue(const std::string& key) const;

  Expected<void, FileError> setBool(const std::string& key, bool value);
  Expected<void, FileError> setString(const std::string& key, const std::string& value);
  Expected<void, FileError> remove(const std::string& key);

  const std::filesystem::path& path() const { return path_; }

 private:
  Expected<void, FileError> set(const std::string& key, Json value);
  Expected<void, FileError> writeLocked();

  std::filesystem::path path_;
  mutable std::mutex mutex_;
  Json values_ = Json::object();
  bool corrupt_ = false;
};

}  // namespace ferrowin::common
