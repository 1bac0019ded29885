#pragma once
// ApplicationLibrary: the applications a client can start on this computer. It scans desktop
// entries and Steam games (discovery.h), keeps the catalog, the recent list (most recent first, at
// most 50) and the hidden list across restarts, renders 256 × 256 PNG icons on demand and launches
// applications by id (the entry's file, or the Steam game's folder).
//
// Files in its directory (<data dir>/Ferrowin), written atomically, off the main executor, in the
// order the changes happened (a hide, launch or removal answers once its list is on disk):
// "catalog.json" (array of {id, title, group}), "recent-apps.json" and "hidden-apps.json" (arrays
// of ids), "icons/<sha256 of the id>.png". Missing or unreadable files count as empty; write
// failures are ignored (logged).
//
// Lives on the main executor. Scans run on the "com.zavel.ferrowin.library.scan" queue (at most
// 60 s: "application scan timed out"); icons, launches and file writes on
// "com.zavel.ferrowin.library". Concurrent callers share one scan; a refresh abandons a running
// scan and its callers get the new one's result.

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/runtime/clock.h"
#include "common/runtime/serial_queue.h"
#include "common/util/expected.h"
#include "platform/applications.h"
#include "server/control/messages.h"
#include "server/library/discovery.h"

namespace ferrowin::library {

inline constexpr size_t kRecentLimit = 50;
inline constexpr int kIconSize = 256;

struct LibraryError {
  enum class Kind {
    notFound,        // "not found"
    unreadableIcon,  // "could not read icon"
    failed,          // `message`: a scan or launch failure
  };
  Kind kind = Kind::failed;
  std::string message;
  std::string description() const;
};

class ApplicationLibrary : public std::enable_shared_from_this<ApplicationLibrary> {
 public:
  struct Dependencies {
    asio::io_context* main = nullptr;
    common::TimerFactory* timers = nullptr;
    /// <data dir>/Ferrowin
    std::filesystem::path directory;
    std::shared_ptr<platform::ApplicationPlatform> platform;
    /// Read when a scan, icon or launch starts.
    std::function<CatalogEnvironment()> environment = CatalogEnvironment::fromProcess;
    double scanTimeoutSeconds = 60.0;
  };

  using Apps = Expected<control::FerrowinAppsResponse, LibraryError>;

  /// Creates the icons folder and loads the three files.
  static std::shared_ptr<ApplicationLibrary> create(Dependencies dependencies);
  ~ApplicationLibrary();

  /// The visible catalog and the recent ids among it. Scans when there is no catalog yet, or
  /// always with `refresh` (which also forgets every cached icon).
  asio::awaitable<Apps> apps(bool refresh);
  /// The id's icon as PNG bytes (cached under icons/).
  asio::awaitable<Expected<std::vector<uint8_t>, LibraryError>> icon(std::string id);
  /// Hides a visible app; answers the updated lists.
  asio::awaitable<Apps> hide(std::string id);
  /// Removes an id from the recent list; answers the updated lists.
  asio::awaitable<Apps> removeRecent(std::string id);
  /// Starts a visible app and puts it at the front of the recent list; answers its id.
  asio::awaitable<Expected<std::string, LibraryError>> launch(std::string id);

  const std::filesystem::path& directory() const { return deps_.directory; }
  /// Waits until every queued file write has reached the disk (tests).
  void flushWrites();

 private:
  using Catalog = std::vector<control::FerrowinAppSummary>;
  using ScanResult = Expected<Catalog, LibraryError>;

  explicit ApplicationLibrary(Dependencies dependencies);

  asio::awaitable<ScanResult> loadedCatalog();
  void startScan();
  void finishScan(uint64_t generation, ScanResult result);
  void abandonScan();
  Catalog visible() const;
  bool isVisible(const std::string& id) const;
  control::FerrowinAppsResponse response() const;
  /// Queues an atomic write of the file `name` in the catalog's directory.
  void save(const std::string& name, std::string contents);
  /// Resumes once every write queued so far is on disk (answers wait for their lists' files).
  asio::awaitable<void> written();

  Dependencies deps_;
  std::filesystem::path iconsDirectory_;
  std::optional<Catalog> cached_;
  std::vector<std::string> recent_;
  std::vector<std::string> hidden_;

  // The running scan: its generation (0 = none), its cancel flag, its timeout and its callers.
  uint64_t scanGeneration_ = 0;
  bool scanning_ = false;
  std::shared_ptr<std::atomic<bool>> scanCancelled_;
  std::unique_ptr<common::Timer> scanTimer_;
  std::vector<std::function<void(ScanResult)>> scanWaiters_;

  common::SerialQueue worker_{"com.zavel.ferrowin.library"};
  common::SerialQueue scanQueue_{"com.zavel.ferrowin.library.scan"};
};

}  // namespace ferrowin::library
