#include "server/library/application_library.h"

#include <algorithm>
#include <asio/async_result.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <system_error>

#include "common/util/files.h"
#include "common/util/log.h"
#include "server/library/catalog_rules.h"
#include "server/library/steam.h"

namespace ferrowin::library {

namespace fs = std::filesystem;
using control::FerrowinAppsResponse;
using control::FerrowinAppSummary;

namespace {

constexpr const char* kCatalogFile = "catalog.json";
constexpr const char* kRecentFile = "recent-apps.json";
constexpr const char* kHiddenFile = "hidden-apps.json";

auto& log() {
  static auto logger = common::serverLog("library");
  return logger;
}

LibraryError notFound() { return {LibraryError::Kind::notFound, {}}; }
LibraryError failed(std::string message) {
  return {LibraryError::Kind::failed, std::move(message)};
}

std::vector<std::string> loadIds(const fs::path& file) {
  auto text = common::readFile(file);
  if (!text) return {};
  return control::decodeStringArray(*text).value_or(std::vector<std::string>{});
}

std::string encodeIds(const std::vector<std::string>& ids) {
  return common::encodeJson(common::Json(ids));
}

// Runs `work` on `queue`; the awaiting caller resumes on its own executor with the result.
template <class T, class Work>
auto runOn(common::SerialQueue& queue, Work work) {
  return asio::async_initiate<decltype(asio::use_awaitable), void(T)>(
      [&queue](auto handler, Work task) {
        auto shared = std::make_shared<decltype(handler)>(std::move(handler));
        queue.post([shared, task = std::move(task)]() mutable {
          T result = task();
          auto executor = asio::get_associated_executor(*shared);
          asio::post(executor, [shared, result = std::move(result)]() mutable {
            std::move (*shared)(std::move(result));
          });
        });
      },
      asio::use_awaitable, std::move(work));
}

bool isDesktopEntry(const std::string& id) { return id.ends_with(".desktop"); }

// The image Steam keeps for a game: its icon, else its library artwork.
std::optional<fs::path> steamIcon(platform::ApplicationPlatform& platform, const SteamGame& game,
                                  const CatalogEnvironment& environment) {
  const fs::path cache = game.steamRoot / "appcache" / "librarycache";
  std::error_code error;
  if (auto file = cache / (game.appId + "_icon.jpg"); fs::is_regular_file(file, error)) return file;
  // Newer clients keep a folder per game; the icon is named by its 40-digit hash.
  std::vector<fs::path> hashed;
  for (fs::directory_iterator it(cache / game.appId, error), end; !error && it != end;
       it.increment(error)) {
    const auto stem = it->path().stem().string();
    if (stem.size() == 40 && stem.find_first_not_of("0123456789abcdef") == std::string::npos)
      hashed.push_back(it->path());
  }
  if (!hashed.empty()) return *std::min_element(hashed.begin(), hashed.end());
  if (auto themed = platform.findIcon("steam_icon_" + game.appId, environment.iconSearch()))
    return themed;
  for (const auto& file :
       {cache / (game.appId + "_library_600x900.jpg"), cache / game.appId / "library_600x900.jpg",
        cache / (game.appId + "_header.jpg"), cache / game.appId / "header.jpg"})
    if (fs::is_regular_file(file, error)) return file;
  return std::nullopt;
}

}  // namespace

std::string LibraryError::description() const {
  switch (kind) {
    case Kind::notFound:
      return "not found";
    case Kind::unreadableIcon:
      return "could not read icon";
    case Kind::failed:
      break;
  }
  return message;
}

std::shared_ptr<ApplicationLibrary> ApplicationLibrary::create(Dependencies dependencies) {
  return std::shared_ptr<ApplicationLibrary>(new ApplicationLibrary(std::move(dependencies)));
}

ApplicationLibrary::ApplicationLibrary(Dependencies dependencies)
    : deps_(std::move(dependencies)), iconsDirectory_(deps_.directory / "icons") {
  std::error_code error;
  fs::create_directories(iconsDirectory_, error);
  recent_ = loadIds(deps_.directory / kRecentFile);
  if (recent_.size() > kRecentLimit) recent_.resize(kRecentLimit);
  hidden_ = loadIds(deps_.directory / kHiddenFile);
  if (auto text = common::readFile(deps_.directory / kCatalogFile)) {
    if (auto catalog = control::decodeAppSummaries(*text))
      cached_ = withoutUninstallers(std::move(*catalog));
  }
}

ApplicationLibrary::~ApplicationLibrary() {
  if (scanCancelled_) *scanCancelled_ = true;
  flushWrites();  // the queue drops what it has not run yet
}

void ApplicationLibrary::save(const std::string& name, std::string contents) {
  worker_.post([file = deps_.directory / name, contents = std::move(contents)] {
    if (auto written = common::writeFileAtomically(file, contents); !written)
      log()->warn("Could not write {}: {}", file.string(), written.error().description());
  });
}

void ApplicationLibrary::flushWrites() {
  worker_.sync([] {});
}

asio::awaitable<void> ApplicationLibrary::written() {
  auto nothing = [] { return true; };
  co_await runOn<bool>(worker_, std::move(nothing));
}

ApplicationLibrary::Catalog ApplicationLibrary::visible() const {
  Catalog apps;
  if (!cached_) return apps;
  for (const auto& app : *cached_)
    if (std::find(hidden_.begin(), hidden_.end(), app.id) == hidden_.end()) apps.push_back(app);
  return apps;
}

bool ApplicationLibrary::isVisible(const std::string& id) const {
  if (!cached_) return false;
  return std::find(hidden_.begin(), hidden_.end(), id) == hidden_.end() &&
         std::any_of(cached_->begin(), cached_->end(),
                     [&](const FerrowinAppSummary& app) { return app.id == id; });
}

FerrowinAppsResponse ApplicationLibrary::response() const {
  FerrowinAppsResponse answer{visible(), {}};
  for (const auto& id : recent_)
    if (isVisible(id)) answer.recent.push_back(id);
  return answer;
}

// ---- Scanning -------------------------------------------------------------------------------

asio::awaitable<ApplicationLibrary::ScanResult> ApplicationLibrary::loadedCatalog() {
  if (cached_) co_return *cached_;
  if (!scanning_) startScan();
  co_return co_await asio::async_initiate<decltype(asio::use_awaitable), void(ScanResult)>(
      [this](auto handler) {
        auto shared = std::make_shared<decltype(handler)>(std::move(handler));
        scanWaiters_.push_back([shared](ScanResult result) {
          auto executor = asio::get_associated_executor(*shared);
          asio::post(executor, [shared, result = std::move(result)]() mutable {
            std::move (*shared)(std::move(result));
          });
        });
      },
      asio::use_awaitable);
}

void ApplicationLibrary::startScan() {
  const uint64_t generation = ++scanGeneration_;
  scanning_ = true;
  scanCancelled_ = std::make_shared<std::atomic<bool>>(false);
  std::weak_ptr<ApplicationLibrary> weak = weak_from_this();
  scanTimer_ = deps_.timers->makeTimer();
  scanTimer_->start(deps_.scanTimeoutSeconds, [weak, generation] {
    if (auto self = weak.lock())
      self->finishScan(generation, make_unexpected(failed("application scan timed out")));
  });
  log()->info("Scanning applications");
  scanQueue_.post([weak, generation, cancelled = scanCancelled_, platform = deps_.platform,
                   environment = deps_.environment(), main = deps_.main] {
    auto apps = scanApplications(*platform, environment, *cancelled);
    if (*cancelled) return;
    asio::post(*main, [weak, generation, apps = std::move(apps)]() mutable {
      if (auto self = weak.lock()) self->finishScan(generation, std::move(apps));
    });
  });
}

void ApplicationLibrary::finishScan(uint64_t generation, ScanResult result) {
  if (!scanning_ || generation != scanGeneration_) return;  // abandoned, or already answered
  scanning_ = false;
  *scanCancelled_ = true;  // a scan that timed out stops at its next file
  scanTimer_->cancel();
  if (result) {
    log()->info("Found {} applications", result->size());
    cached_ = *result;
    save(kCatalogFile, control::encode(*result));
  } else {
    log()->error("Application scan failed: {}", result.error().description());
  }
  auto waiters = std::move(scanWaiters_);
  scanWaiters_.clear();
  for (auto& waiter : waiters) waiter(result);
}

void ApplicationLibrary::abandonScan() {
  if (!scanning_) return;
  scanning_ = false;
  *scanCancelled_ = true;
  scanTimer_->cancel();
}

// ---- Operations -----------------------------------------------------------------------------

asio::awaitable<ApplicationLibrary::Apps> ApplicationLibrary::apps(bool refresh) {
  auto self = shared_from_this();
  if (refresh) {
    const bool wasScanning = scanning_;
    abandonScan();
    cached_.reset();
    worker_.post([catalog = deps_.directory / kCatalogFile, icons = iconsDirectory_] {
      std::error_code error;
      fs::remove(catalog, error);
      fs::remove_all(icons, error);
      fs::create_directories(icons, error);
    });
    // Callers of the abandoned scan are answered by the new one.
    if (wasScanning) startScan();
  }
  auto catalog = co_await loadedCatalog();
  if (!catalog) co_return make_unexpected(catalog.error());
  co_return response();
}

asio::awaitable<ApplicationLibrary::Apps> ApplicationLibrary::hide(std::string id) {
  auto self = shared_from_this();
  auto catalog = co_await loadedCatalog();
  if (!catalog) co_return make_unexpected(catalog.error());
  if (!isVisible(id)) co_return make_unexpected(notFound());
  if (std::find(hidden_.begin(), hidden_.end(), id) == hidden_.end()) hidden_.push_back(id);
  save(kHiddenFile, encodeIds(hidden_));
  co_await written();
  co_return response();
}

asio::awaitable<ApplicationLibrary::Apps> ApplicationLibrary::removeRecent(std::string id) {
  auto self = shared_from_this();
  if (std::find(recent_.begin(), recent_.end(), id) == recent_.end())
    co_return make_unexpected(notFound());
  std::erase(recent_, id);
  save(kRecentFile, encodeIds(recent_));
  co_await written();
  auto catalog = co_await loadedCatalog();
  if (!catalog) co_return make_unexpected(catalog.error());
  co_return response();
}

asio::awaitable<Expected<std::string, LibraryError>> ApplicationLibrary::launch(std::string id) {
  auto self = shared_from_this();
  auto catalog = co_await loadedCatalog();
  if (!catalog) co_return make_unexpected(catalog.error());
  if (!isVisible(id)) co_return make_unexpected(notFound());
  auto start = [id, platform = deps_.platform,
                environment = deps_.environment()]() -> Expected<void, LibraryError> {
    Expected<void, std::string> result;
    if (isDesktopEntry(id)) {
      result = platform->launchDesktopEntry(id);
    } else if (auto game = steamGameAt(environment.home, id)) {
      result =
          platform->launchProgram({"steam", "steam://rungameid/" + game->appId}, environment.home);
    } else {
      result = make_unexpected("no installed Steam game in " + id);
    }
    if (!result) return make_unexpected(failed(result.error()));
    return {};
  };
  auto started = co_await runOn<Expected<void, LibraryError>>(worker_, std::move(start));
  if (!started) {
    log()->error("Could not launch {}: {}", id, started.error().description());
    co_return make_unexpected(started.error());
  }
  log()->info("Launched {}", id);
  std::erase(recent_, id);
  recent_.insert(recent_.begin(), id);
  if (recent_.size() > kRecentLimit) recent_.resize(kRecentLimit);
  save(kRecentFile, encodeIds(recent_));
  co_await written();
  co_return id;
}

asio::awaitable<Expected<std::vector<uint8_t>, LibraryError>> ApplicationLibrary::icon(
    std::string id) {
  auto self = shared_from_this();
  auto catalog = co_await loadedCatalog();
  if (!catalog) co_return make_unexpected(catalog.error());
  if (!isVisible(id)) co_return make_unexpected(notFound());
  using Result = Expected<std::vector<uint8_t>, LibraryError>;
  auto render = [id, file = iconsDirectory_ / iconFileName(id), platform = deps_.platform,
                 environment = deps_.environment()]() -> Result {
    if (auto cached = common::readFile(file))
      return std::vector<uint8_t>(cached->begin(), cached->end());
    std::optional<fs::path> image;
    if (isDesktopEntry(id)) {
      image = platform->desktopEntryIcon(id, environment.iconSearch());
    } else if (auto game = steamGameAt(environment.home, id)) {
      image = steamIcon(*platform, *game, environment);
    }
    if (!image) return make_unexpected(LibraryError{LibraryError::Kind::unreadableIcon, {}});
    auto png = platform->renderIcon(*image, kIconSize);
    if (!png) {
      log()->warn("Icon of {} ({}): {}", id, image->string(), png.error());
      return make_unexpected(LibraryError{LibraryError::Kind::unreadableIcon, {}});
    }
    const std::string_view bytes(reinterpret_cast<const char*>(png->data()), png->size());
    if (auto written = common::writeFileAtomically(file, bytes); !written)
      log()->warn("Could not cache icon {}: {}", file.string(), written.error().description());
    return std::move(*png);
  };
  co_return co_await runOn<Result>(worker_, std::move(render));
}

}  // namespace ferrowin::library
