// The catalog's state, files, launching and icons, on a temporary computer with the real GIO and
// gdk-pixbuf backend.

#include "server/library/application_library.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <thread>

#include "common/runtime/clock.h"
#include "common/util/files.h"
#include "common/util/json.h"
#include "server/library/catalog_rules.h"
#include "tests/library/catalog_tree.h"

namespace ferrowin::testing {
namespace {

namespace fs = std::filesystem;
using library::ApplicationLibrary;
using library::LibraryError;

// Runs `flow` on `io` until it finishes (at most 20 s).
template <class T>
T await(asio::io_context& io, asio::awaitable<T> flow) {
  std::optional<T> result;
  asio::co_spawn(io, std::move(flow), [&](std::exception_ptr error, T value) {
    if (error) std::rethrow_exception(error);
    result = std::move(value);
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!result && std::chrono::steady_clock::now() < deadline) {
    io.restart();
    io.run_for(std::chrono::milliseconds(10));
  }
  if (!result) throw std::runtime_error("flow did not finish");
  return std::move(*result);
}

// Waits for a file the launched program writes.
std::string waitForFile(const fs::path& file) {
  for (int i = 0; i < 500; ++i) {
    if (auto text = common::readFile(file); text && text->find("end\n") != std::string::npos)
      return *text;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return {};
}

class Library : public ::testing::Test {
 protected:
  std::shared_ptr<ApplicationLibrary> open(
      common::TimerFactory* timers = nullptr,
      std::shared_ptr<platform::ApplicationPlatform> platform = nullptr) {
    return ApplicationLibrary::create(
        {.main = &io,
         .timers = timers ? timers : &realTimers,
         .directory = data / "Ferrowin",
         .platform = platform ? platform : platform::makeApplicationPlatform(),
         .environment = [environment = tree.environment()] { return environment; }});
  }
  std::vector<std::string> ids(const std::vector<control::FerrowinAppSummary>& apps) {
    std::vector<std::string> out;
    for (const auto& app : apps) out.push_back(app.id);
    return out;
  }
  std::string add(const std::string& file, const std::string& contents) {
    return CatalogTree::addEntry(tree.systemData(), file, contents).string();
  }

  CatalogTree tree;
  TempDir data;
  asio::io_context io;
  common::AsioTimerFactory realTimers{io.get_executor()};
};

TEST_F(Library, LaunchStartsTheProgramDetachedAndUpdatesRecent) {
  const auto work = tree.root() / "work dir";
  fs::create_directories(work);
  // The program writes its arguments, folder and session beside itself, in one move.
  const auto program = CatalogTree::write(tree.root() / "bin/record", R"sh(#!/bin/sh
{ for a in "$@"; do echo "arg:$a"; done
  echo "cwd:$(pwd)"
  echo "session:$(cut -d' ' -f6 /proc/$$/stat) pid:$$"
  echo end; } > "$0.tmp" && mv "$0.tmp" "$0.out"
)sh");
  const auto out = fs::path(program.string() + ".out");
  fs::permissions(program, fs::perms::owner_all);
  const auto recorder =
      add("recorder.desktop",
          CatalogTree::entry("Recorder", "Exec=" + program.string() +
                                             " --name %c %f %U 100%% %i\nPath=" + work.string() +
                                             "\n"));
  // Fifty earlier launches, the recorder among them.
  std::vector<std::string> recent;
  for (int i = 0; i < 50; ++i)
    recent.push_back(add("app" + std::to_string(i) + ".desktop",
                         CatalogTree::entry("App " + std::to_string(i))));
  recent[20] = recorder;
  CatalogTree::write(data / "Ferrowin/recent-apps.json", common::encodeJson(common::Json(recent)));

  auto library = open();
  auto launched = await(io, library->launch(recorder));
  ASSERT_TRUE(launched) << launched.error().description();
  EXPECT_EQ(*launched, recorder);
  const std::string record = waitForFile(out);
  EXPECT_NE(record.find("arg:--name\narg:Recorder\narg:100%\ncwd:" + work.string() + "\n"),
            std::string::npos)
      << record;
  // The program leads a session of its own.
  const auto session = record.find("session:");
  ASSERT_NE(session, std::string::npos);
  std::string sid, pid;
  std::istringstream(record.substr(session + 8)) >> sid >> pid;
  EXPECT_EQ("pid:" + sid, pid);

  // Moved to the front from the middle: still fifty.
  auto apps = await(io, library->apps(false));
  ASSERT_EQ(apps->recent.size(), 50u);
  EXPECT_EQ(apps->recent.front(), recorder);
  EXPECT_EQ(apps->recent[20], recent[19]);
  EXPECT_EQ(apps->recent[21], recent[21]);
  // A new one pushes the oldest out.
  const auto other = add("other.desktop", CatalogTree::entry("Other"));
  apps = await(io, library->apps(true));
  ASSERT_TRUE(await(io, library->launch(other)));
  apps = await(io, library->apps(false));
  ASSERT_EQ(apps->recent.size(), 50u);
  EXPECT_EQ(apps->recent[0], other);
  EXPECT_EQ(apps->recent[1], recorder);
  EXPECT_EQ(std::count(apps->recent.begin(), apps->recent.end(), recent[49]), 0);

  // A program that has gone since the scan is an error with its reason, and not recent.
  fs::remove(program);
  ASSERT_TRUE(await(io, library->removeRecent(recorder)));
  auto missing = await(io, library->launch(recorder));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind, LibraryError::Kind::failed);
  EXPECT_NE(missing.error().description().find(program.string()), std::string::npos)
      << missing.error().description();
  apps = await(io, library->apps(false));
  EXPECT_EQ(std::count(apps->recent.begin(), apps->recent.end(), recorder), 0);
  EXPECT_EQ(apps->recent.front(), other);
}

// ---- Icons ----------------------------------------------------------------------------------

// Writes a width × height PNG (or JPEG) of opaque red.
void writeImage(const fs::path& file, int width, int height, const char* type = "png") {
  fs::create_directories(file.parent_path());
  GdkPixbuf* image = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, width, height);
  gdk_pixbuf_fill(image, 0xff0000ff);
  ASSERT_TRUE(gdk_pixbuf_save(image, file.c_str(), type, nullptr, nullptr));
  g_object_unref(image);
}

struct Decoded {
  int width = 0, height = 0, channels = 0;
  std::vector<uint8_t> alphaColumn;  // alpha down the middle column
};

Decoded decode(const std::vector<uint8_t>& png) {
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
  Decoded decoded;
  if (loader && gdk_pixbuf_loader_write(loader, png.data(), png.size(), nullptr) &&
      gdk_pixbuf_loader_close(loader, nullptr)) {
    GdkPixbuf* image = gdk_pixbuf_loader_get_pixbuf(loader);
    decoded.width = gdk_pixbuf_get_width(image);
    decoded.height = gdk_pixbuf_get_height(image);
    decoded.channels = gdk_pixbuf_get_n_channels(image);
    const guchar* pixels = gdk_pixbuf_read_pixels(image);
    for (int y = 0; y < decoded.height && decoded.channels == 4; ++y)
      decoded.alphaColumn.push_back(
          pixels[y * gdk_pixbuf_get_rowstride(image) + (decoded.width / 2) * 4 + 3]);
  }
  if (loader) g_object_unref(loader);
  return decoded;
}

TEST_F(Library, IconsOfEveryKindComeOut256Square) {
  const auto icons = tree.dataHome() / "icons";
  CatalogTree::write(
      icons / "hicolor/index.theme",
      "[Icon Theme]\nName=Hicolor\nDirectories=48x48/apps,128x128/apps,scalable/apps\n\n"
      "[48x48/apps]\nSize=48\nType=Fixed\n[128x128/apps]\nSize=128\nType=Fixed\n"
      "[scalable/apps]\nSize=128\nType=Scalable\nMinSize=8\nMaxSize=512\n");
  writeImage(icons / "hicolor/48x48/apps/raster.png", 48, 48);
  writeImage(icons / "hicolor/128x128/apps/raster.png", 128, 128);  // the largest wins
  CatalogTree::write(icons / "hicolor/scalable/apps/vector.svg",
                     "<svg xmlns='http://www.w3.org/2000/svg' width='16' height='16'>"
                     "<rect width='16' height='16' fill='#00f'/></svg>");
  // The user's theme (from the GTK settings) comes before hicolor.
  CatalogTree::write(tree.home() / ".config/gtk-3.0/settings.ini",
                     "[Settings]\ngtk-icon-theme-name=Mine\n");
  CatalogTree::write(tree.home() / ".icons/Mine/index.theme",
                     "[Icon Theme]\nName=Mine\nDirectories=32\n[32]\nSize=32\n");
  writeImage(tree.home() / ".icons/Mine/32/themed.png", 32, 32);
  writeImage(icons / "hicolor/48x48/apps/themed.png", 48, 48);
  // A file by its path, twice as wide as high.
  writeImage(tree.root() / "art/wide.png", 64, 32);

  auto library = open();
  std::vector<std::string> entries;
  for (const std::string& icon : std::vector<std::string>{"raster", "vector", "themed",
                                                          (tree.root() / "art/wide.png").string()})
    entries.push_back(add(fs::path(icon).stem().string() + ".desktop",
                          CatalogTree::entry(icon, "Icon=" + icon + "\n")));
  const auto none = add("none.desktop", CatalogTree::entry("No icon", "Icon=no-such-icon\n"));
  ASSERT_TRUE(await(io, library->apps(false)));
  for (const auto& entry : entries) {
    auto png = await(io, library->icon(entry));
    ASSERT_TRUE(png) << entry << ": " << png.error().description();
    const auto decoded = decode(*png);
    EXPECT_EQ(decoded.width, 256) << entry;
    EXPECT_EQ(decoded.height, 256) << entry;
    EXPECT_EQ(decoded.channels, 4) << entry;
    EXPECT_TRUE(fs::exists(data / "Ferrowin/icons" / library::iconFileName(entry))) << entry;
    // Opaque down the middle; the wide image sits in the middle, transparent above and below.
    const auto& alpha = decoded.alphaColumn;
    const bool wide = entry == entries.back();
    EXPECT_EQ(std::count(alpha.begin(), alpha.end(), 255), wide ? 128 : 256) << entry;
    if (wide) {
      EXPECT_TRUE(alpha[63] == 0 && alpha[64] == 255 && alpha[191] == 255 && alpha[192] == 0);
    }
  }
  // Cached icons are served without their source.
  fs::remove_all(icons);
  EXPECT_TRUE(await(io, library->icon(entries[0])));

  auto missing = await(io, library->icon(none));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().description(), "could not read icon");
}

TEST_F(Library, SteamGamesHaveSteamsIconInEitherCacheLayout) {
  const auto steam = tree.home() / ".local/share/Steam";
  CatalogTree::addSteamLibrary(steam, {{"440", "Team Fortress 2", "tf2"},
                                       {"70", "Half-Life", "hl"},
                                       {"10", "Counter-Strike", "cs"}});
  writeImage(steam / "appcache/librarycache/440_icon.jpg", 32, 32, "jpeg");
  writeImage(steam / "appcache/librarycache/70/0123456789abcdef0123456789abcdef01234567.jpg", 32,
             32, "jpeg");
  auto library = open();
  const auto apps = await(io, library->apps(false));
  ASSERT_TRUE(apps) << apps.error().description();
  ASSERT_EQ(apps->apps.size(), 3u);
  for (const auto& app : apps->apps) {
    auto png = await(io, library->icon(app.id));
    EXPECT_EQ(png.has_value(), app.title != "Counter-Strike") << app.title;
    if (png) {
      EXPECT_EQ(decode(*png).width, 256) << app.title;
    }
  }
}

// ---- The scan's limit -------------------------------------------------------------------------

// Blocks every entry read until released, so a scan runs as long as the test wants.
class StalledPlatform final : public platform::ApplicationPlatform {
 public:
  explicit StalledPlatform(std::shared_ptr<platform::ApplicationPlatform> real)
      : real_(std::move(real)) {}
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  int reads() const { return reads_; }
  std::optional<platform::DesktopEntryInfo> readDesktopEntry(
      const fs::path& file, const std::vector<std::string>& desktops) override {
    ++reads_;
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return released_; });
    return real_->readDesktopEntry(file, desktops);
  }
  Expected<void, std::string> launchDesktopEntry(const fs::path& file) override {
    return real_->launchDesktopEntry(file);
  }
  Expected<void, std::string> launchProgram(const std::vector<std::string>& argv,
                                            const fs::path& dir) override {
    return real_->launchProgram(argv, dir);
  }
  std::optional<fs::path> desktopEntryIcon(const fs::path& file,
                                           const platform::IconSearch& search) override {
    return real_->desktopEntryIcon(file, search);
  }
  std::optional<fs::path> findIcon(const std::string& name,
                                   const platform::IconSearch& search) override {
    return real_->findIcon(name, search);
  }
  Expected<std::vector<uint8_t>, std::string> renderIcon(const fs::path& file, int size) override {
    return real_->renderIcon(file, size);
  }

 private:
  std::shared_ptr<platform::ApplicationPlatform> real_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool released_ = false;
  std::atomic<int> reads_{0};
};

TEST_F(Library, ScanTimesOutCallersShareOneScanAndDamagedFilesCountAsEmpty) {
  const auto a = add("a.desktop", CatalogTree::entry("Alpha"));
  common::ManualClock clock;
  auto stalled = std::make_shared<StalledPlatform>(platform::makeApplicationPlatform());
  auto library = open(&clock, stalled);

  std::vector<ApplicationLibrary::Apps> answers;
  for (int i = 0; i < 2; ++i)
    asio::co_spawn(io, library->apps(false),
                   [&](std::exception_ptr, ApplicationLibrary::Apps apps) {
                     answers.push_back(std::move(apps));
                   });
  io.run_for(std::chrono::milliseconds(100));
  clock.advance(59.9);
  io.run_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(answers.empty());
  clock.advance(0.1);
  for (int i = 0; i < 100 && answers.size() < 2; ++i) io.run_for(std::chrono::milliseconds(10));
  ASSERT_EQ(answers.size(), 2u);
  for (const auto& answer : answers) {
    ASSERT_FALSE(answer);
    EXPECT_EQ(answer.error().description(), "application scan timed out");
  }
  EXPECT_EQ(stalled->reads(), 1);  // one scan for both
  EXPECT_FALSE(fs::exists(data / "Ferrowin/catalog.json"));

  // The next call scans again and succeeds.
  stalled->release();
  auto apps = await(io, library->apps(false));
  ASSERT_TRUE(apps) << apps.error().description();
  EXPECT_EQ(ids(apps->apps), std::vector<std::string>{a});

  // Damaged files count as empty.
  CatalogTree::write(data / "Ferrowin/catalog.json",
                     R"([{"id":"/gone","title":"Gone","group":"bogus"}])");
  CatalogTree::write(data / "Ferrowin/recent-apps.json", "{not json");
  CatalogTree::write(data / "Ferrowin/hidden-apps.json", R"(["ok", 5])");
  auto reopened = open();
  apps = await(io, reopened->apps(false));
  ASSERT_TRUE(apps);
  EXPECT_EQ(ids(apps->apps), std::vector<std::string>{a});  // rescanned
  EXPECT_TRUE(apps->recent.empty());
}

}  // namespace
}  // namespace ferrowin::testing
