#include "common/util/settings.h"

#include "common/util/log.h"

namespace ferrowin::common {

SettingsStore::SettingsStore(std::filesystem::path directory)
    : path_(std::move(directory) / "settings.json") {
  auto contents = readFile(path_);
  if (!contents) {
    // No file yet: every key reads as its default.
    if (contents.error().code != FileError::Code::notFound)
      serverLog("settings")
          ->warn("Settings could not be read ({}); using the defaults",
                 contents.error().description());
    return;
  }
  auto parsed = parseJson(*contents);
  if (parsed && parsed->is_object()) {
    values_ = std::move(*parsed);
  } else {
    corrupt_ = true;
    serverLog("settings")
        ->warn("{} is not a JSON object; using the defaults (the next save keeps it as {}.corrupt)",
               path_.string(), path_.string());
  }
}

bool SettingsStore::boolValue(const std::string& key, bool fallback) const {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  return it != values_.end() && it->is_boolean() ? it->get<bool>() : fallback;
}

std::optional<std::string> SettingsStore::stringValue(const std::string& key) const {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

Expected<void, FileError> SettingsStore::setBool(const std::string& key, bool value) {
  return set(key, value);
}

Expected<void, FileError> SettingsStore::setString(const std::string& key,
                                                   const std::string& value) {
  return set(key, value);
}

Expected<void, FileError> SettingsStore::remove(const std::string& key) {
  std::lock_guard lock(mutex_);
  if (values_.erase(key) == 0) return {};
  return writeLocked();
}

Expected<void, FileError> SettingsStore::set(const std::string& key, Json value) {
  std::lock_guard lock(mutex_);
  values_[key] = std::move(value);
  return writeLocked();
}

Expected<void, FileError> SettingsStore::writeLocked() {
  if (corrupt_) {
    std::error_code ec;
    std::filesystem::rename(path_, path_.string() + ".corrupt", ec);
    corrupt_ = false;
  }
  return writeFileAtomically(path_, values_.dump(2) + "\n");
}

}  // namespace ferrowin::common
