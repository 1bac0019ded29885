#pragma once
// `ferrowin-server clients list|forget KEYID`: the paired clients of a data folder, managed by
// hand. A running host owns its folder (the lock below): it keeps the clients in memory and would
// write a forgotten one back, so forgetting is refused while it runs.

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "server/app/options.h"

namespace ferrowin::app {

/// Held by a running host for its data folder ("host.lock" in it, an exclusive flock).
class DataFolderLock {
 public:
  ~DataFolderLock();
  DataFolderLock(const DataFolderLock&) = delete;
  DataFolderLock& operator=(const DataFolderLock&) = delete;

  enum class Result { held, busy, unavailable };
  /// `busy`: another process holds it. `unavailable`: the folder cannot hold a lock file (the
  /// host's own start-up reports why).
  static std::pair<Result, std::unique_ptr<DataFolderLock>> acquire(
      const std::filesystem::path& folder);

 private:
  explicit DataFolderLock(int fd) : fd_(fd) {}
  int fd_;
};

/// Runs the command on `folder` (<data dir>/com.zavel.ferrowin.server); the exit status.
int runPairedClientsCommand(const HostOptions::Clients& command,
                            const std::filesystem::path& folder, std::FILE* out, std::FILE* err);

}  // namespace ferrowin::app
