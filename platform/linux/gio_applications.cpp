// Desktop entries and launching through GIO's GDesktopAppInfo; icons found by the Icon Theme
// rules (index.theme read with GKeyFile) and rendered with gdk-pixbuf (librsvg's loader reads SVG).
//
// Directories and the current desktop are passed in rather than taken from GIO, which reads the
// XDG variables once per process.

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gdesktopappinfo.h>
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <memory>
#include <system_error>

#include "platform/applications.h"

namespace ferrowin::platform {

namespace fs = std::filesystem;

namespace {

// Owners for GLib objects and memory.
struct ObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, ObjectUnref>;
struct KeyFileFree {
  void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
using KeyFilePtr = std::unique_ptr<GKeyFile, KeyFileFree>;
struct Free {
  void operator()(gpointer memory) const { g_free(memory); }
};
using GString_ = std::unique_ptr<char, Free>;
struct StrvFree {
  void operator()(char** strings) const { g_strfreev(strings); }
};
using StrvPtr = std::unique_ptr<char*, StrvFree>;

std::string takeMessage(GError* error, const std::string& fallback) {
  if (!error) return fallback;
  std::string message = error->message;
  g_error_free(error);
  return message;
}

std::vector<std::string> splitList(const char* text) {
  std::vector<std::string> items;
  if (!text) return items;
  std::string item;
  for (const char* p = text; *p; ++p) {
    if (*p == ';') {
      if (!item.empty()) items.push_back(std::move(item));
      item.clear();
    } else {
      item.push_back(*p);
    }
  }
  if (!item.empty()) items.push_back(std::move(item));
  return items;
}

std::vector<std::string> stringList(GDesktopAppInfo* info, const char* key) {
  std::vector<std::string> items;
  StrvPtr list(g_desktop_app_info_get_string_list(info, key, nullptr));
  for (char** item = list.get(); item && *item; ++item) items.emplace_back(*item);
  return items;
}

bool shownIn(GDesktopAppInfo* info, const std::vector<std::string>& desktops) {
  auto among = [&](const std::string& name) {
    return std::find(desktops.begin(), desktops.end(), name) != desktops.end();
  };
  const auto onlyShowIn = stringList(info, "OnlyShowIn");
  if (!onlyShowIn.empty() && std::none_of(onlyShowIn.begin(), onlyShowIn.end(), among))
    return false;
  const auto notShowIn = stringList(info, "NotShowIn");
  return std::none_of(notShowIn.begin(), notShowIn.end(), among);
}

// The launched program gets a session of its own, so it outlives the host and its signals.
void detachChild(gpointer) { setsid(); }

constexpr GSpawnFlags kSpawnFlags = static_cast<GSpawnFlags>(
    G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL);

// Why GIO refused an entry it could not load for launching.
std::string unloadableReason(const fs::path& file) {
  KeyFilePtr keys(g_key_file_new());
  GError* error = nullptr;
  if (!g_key_file_load_from_file(keys.get(), file.c_str(), G_KEY_FILE_NONE, &error))
    return takeMessage(error, "could not read " + file.string());
  GString_ exec(g_key_file_get_string(keys.get(), "Desktop Entry", "Exec", nullptr));
  if (!exec || !*exec) return "the entry has no Exec line";
  int argc = 0;
  char** argv = nullptr;
  if (!g_shell_parse_argv(exec.get(), &argc, &argv, &error))
    return takeMessage(error, "the Exec line cannot be read");
  StrvPtr owned(argv);
  GString_ found(g_find_program_in_path(argv[0]));
  if (!found) return std::string("program not found: ") + argv[0];
  return "the entry cannot be started";
}

// ---- Icon themes -------------------------------------------------------------------------------

constexpr std::array<const char*, 3> kIconExtensions = {".svg", ".png", ".xpm"};

std::optional<std::string> userIconTheme(const fs::path& configHome) {
  KeyFilePtr keys(g_key_file_new());
  const auto settings = configHome / "gtk-3.0" / "settings.ini";
  if (!g_key_file_load_from_file(keys.get(), settings.c_str(), G_KEY_FILE_NONE, nullptr))
    return std::nullopt;
  GString_ theme(g_key_file_get_string(keys.get(), "Settings", "gtk-icon-theme-name", nullptr));
  if (!theme || !*theme) return std::nullopt;
  return std::string(theme.get());
}

std::vector<fs::path> iconBases(const IconSearch& search) {
  std::vector<fs::path> bases{search.home / ".icons"};
  for (const auto& dir : search.dataDirs) bases.push_back(dir / "icons");
  return bases;
}

struct Candidate {
  fs::path file;
  int score = -1;  // the size in pixels; scalable beats every fixed size
};

bool isRegularFile(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

// The best file for `name` in one theme (all its base folders), and the themes it inherits.
Candidate lookInTheme(const std::string& theme, const std::string& name,
                      const std::vector<fs::path>& bases, std::vector<std::string>& inherits) {
  Candidate best;
  for (const auto& base : bases) {
    const fs::path root = base / theme;
    KeyFilePtr index(g_key_file_new());
    g_key_file_set_list_separator(index.get(), ',');  // index.theme lists are comma-separated
    if (!g_key_file_load_from_file(index.get(), (root / "index.theme").c_str(), G_KEY_FILE_NONE,
                                   nullptr))
      continue;
    StrvPtr parents(
        g_key_file_get_string_list(index.get(), "Icon Theme", "Inherits", nullptr, nullptr));
    for (char** parent = parents.get(); parent && *parent; ++parent) inherits.emplace_back(*parent);
    StrvPtr directories(
        g_key_file_get_string_list(index.get(), "Icon Theme", "Directories", nullptr, nullptr));
    for (char** directory = directories.get(); directory && *directory; ++directory) {
      const int size = g_key_file_get_integer(index.get(), *directory, "Size", nullptr);
      GString_ type(g_key_file_get_string(index.get(), *directory, "Type", nullptr));
      const bool scalable = type && std::string_view(type.get()) == "Scalable";
      for (const char* extension : kIconExtensions) {
        const fs::path file = root / *directory / (name + extension);
        if (!isRegularFile(file)) continue;
        const int score = scalable || std::string_view(extension) == ".svg" ? INT32_MAX : size;
        if (score > best.score) best = {file, score};
      }
    }
  }
  return best;
}

// ---- Images -------------------------------------------------------------------------------------

constexpr goffset kImageFileLimit = 32 * 1024 * 1024;

void fitInto(GdkPixbufLoader* loader, int width, int height, gpointer data) {
  const int size = *static_cast<int*>(data);
  if (width <= 0 || height <= 0) return;
  const double scale = std::min(double(size) / width, double(size) / height);
  gdk_pixbuf_loader_set_size(loader, std::clamp(int(width * scale + 0.5), 1, size),
                             std::clamp(int(height * scale + 0.5), 1, size));
}

// The loader for a file's type, chosen by its extension: gdk-pixbuf's own sniffing goes through
// the shared MIME database, which a changed $XDG_DATA_DIRS can hide.
const char* imageType(const fs::path& file) {
  std::string extension = file.extension().string();
  for (auto& c : extension) c = static_cast<char>(g_ascii_tolower(c));
  if (extension == ".png") return "png";
  if (extension == ".svg" || extension == ".svgz") return "svg";
  if (extension == ".xpm") return "xpm";
  if (extension == ".jpg" || extension == ".jpeg") return "jpeg";
  if (extension == ".ico") return "ico";
  if (extension == ".bmp") return "bmp";
  return nullptr;
}

// The image scaled (up or down, aspect kept) to fit size × size.
Expected<GObjectPtr<GdkPixbuf>, std::string> loadFitted(const fs::path& file, int size) {
  GError* error = nullptr;
  const char* type = imageType(file);
  if (!type) {
    GdkPixbuf* image = gdk_pixbuf_new_from_file_at_scale(file.c_str(), size, size, TRUE, &error);
    if (!image) return make_unexpected(takeMessage(error, "could not read " + file.string()));
    return GObjectPtr<GdkPixbuf>(image);
  }
  std::error_code statError;
  const auto bytes = fs::file_size(file, statError);
  if (statError || bytes > static_cast<uintmax_t>(kImageFileLimit))
    return make_unexpected("could not read " + file.string());
  gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(file.c_str(), &contents, &length, &error))
    return make_unexpected(takeMessage(error, "could not read " + file.string()));
  GString_ owned(contents);
  GObjectPtr<GdkPixbufLoader> loader(gdk_pixbuf_loader_new_with_type(type, &error));
  if (!loader)
    return make_unexpected(takeMessage(error, "no image loader for " + std::string(type)));
  g_signal_connect(loader.get(), "size-prepared", G_CALLBACK(fitInto), &size);
  const bool written = gdk_pixbuf_loader_write(
      loader.get(), reinterpret_cast<const guchar*>(contents), length, &error);
  // Closing is needed even after a failed write; its error only matters when the write went well.
  GError* closeError = nullptr;
  const bool closed = gdk_pixbuf_loader_close(loader.get(), written ? &closeError : nullptr);
  if (!written) return make_unexpected(takeMessage(error, "could not read " + file.string()));
  if (!closed) return make_unexpected(takeMessage(closeError, "could not read " + file.string()));
  GdkPixbuf* image = gdk_pixbuf_loader_get_pixbuf(loader.get());
  if (!image) return make_unexpected("could not read " + file.string());
  return GObjectPtr<GdkPixbuf>(GDK_PIXBUF(g_object_ref(image)));
}

}  // namespace

class GioApplicationPlatform final : public ApplicationPlatform {
 public:
  std::optional<DesktopEntryInfo> readDesktopEntry(
      const fs::path& file, const std::vector<std::string>& desktops) override {
    // GIO refuses entries that are not applications and those whose TryExec (or Exec) program
    // is missing.
    GObjectPtr<GDesktopAppInfo> info(g_desktop_app_info_new_from_filename(file.c_str()));
    if (!info) return std::nullopt;
    if (g_desktop_app_info_get_nodisplay(info.get()) ||
        g_desktop_app_info_get_is_hidden(info.get()))
      return std::nullopt;
    if (g_desktop_app_info_get_boolean(info.get(), "Terminal")) return std::nullopt;
    if (!shownIn(info.get(), desktops)) return std::nullopt;
    DesktopEntryInfo entry;
    GString_ name(g_desktop_app_info_get_locale_string(info.get(), "Name"));
    if (name) entry.title = name.get();
    entry.categories = splitList(g_desktop_app_info_get_categories(info.get()));
    GString_ exec(g_desktop_app_info_get_string(info.get(), "Exec"));
    if (exec) entry.exec = exec.get();
    return entry;
  }

  Expected<void, std::string> launchDesktopEntry(const fs::path& file) override {
    GObjectPtr<GDesktopAppInfo> info(g_desktop_app_info_new_from_filename(file.c_str()));
    if (!info) return make_unexpected(unloadableReason(file));
    GError* error = nullptr;
    if (!g_desktop_app_info_launch_uris_as_manager(info.get(), nullptr, nullptr, kSpawnFlags,
                                                   detachChild, nullptr, nullptr, nullptr, &error))
      return make_unexpected(takeMessage(error, "the program could not be started"));
    return {};
  }

  Expected<void, std::string> launchProgram(const std::vector<std::string>& argv,
                                            const fs::path& directory) override {
    if (argv.empty()) return make_unexpected(std::string("nothing to start"));
    std::vector<char*> pointers;
    for (const auto& arg : argv) pointers.push_back(const_cast<char*>(arg.c_str()));
    pointers.push_back(nullptr);
    GError* error = nullptr;
    if (!g_spawn_async(directory.empty() ? nullptr : directory.c_str(), pointers.data(), nullptr,
                       kSpawnFlags, detachChild, nullptr, nullptr, &error))
      return make_unexpected(takeMessage(error, "the program could not be started"));
    return {};
  }

  std::optional<fs::path> desktopEntryIcon(const fs::path& file,
                                           const IconSearch& search) override {
    KeyFilePtr keys(g_key_file_new());
    if (!g_key_file_load_from_file(keys.get(), file.c_str(), G_KEY_FILE_NONE, nullptr))
      return std::nullopt;
    GString_ icon(g_key_file_get_string(keys.get(), "Desktop Entry", "Icon", nullptr));
    if (!icon || !*icon) return std::nullopt;
    const fs::path value(icon.get());
    if (value.is_absolute()) {
      if (isRegularFile(value)) return value;
      return std::nullopt;
    }
    return findIcon(icon.get(), search);
  }

  std::optional<fs::path> findIcon(const std::string& requested,
                                   const IconSearch& search) override {
    if (requested.empty() || requested.find('/') != std::string::npos) return std::nullopt;
    // Some entries name their icon with an extension, which the rules do not expect.
    std::string name = requested;
    for (const char* extension : kIconExtensions)
      if (name.size() > 4 && name.ends_with(extension)) name.resize(name.size() - 4);

    const auto bases = iconBases(search);
    std::vector<std::string> themes;
    if (auto theme = userIconTheme(search.configHome)) themes.push_back(*theme);
    for (size_t i = 0; i < themes.size() && i < 16; ++i) {
      std::vector<std::string> inherits;
      auto found = lookInTheme(themes[i], name, bases, inherits);
      if (found.score >= 0) return found.file;
      for (auto& parent : inherits)
        if (parent != "hicolor" && std::find(themes.begin(), themes.end(), parent) == themes.end())
          themes.push_back(std::move(parent));
    }
    std::vector<std::string> ignored;
    if (auto found = lookInTheme("hicolor", name, bases, ignored); found.score >= 0)
      return found.file;
    for (const auto& dir : search.dataDirs)
      for (const char* extension : kIconExtensions)
        if (auto file = dir / "pixmaps" / (name + extension); isRegularFile(file)) return file;
    return std::nullopt;
  }

  Expected<std::vector<uint8_t>, std::string> renderIcon(const fs::path& file, int size) override {
    auto loaded = loadFitted(file, size);
    if (!loaded) return make_unexpected(loaded.error());
    GObjectPtr<GdkPixbuf> image(gdk_pixbuf_add_alpha(loaded->get(), FALSE, 0, 0, 0));
    if (!image) return make_unexpected(std::string("out of memory"));
    const int width = std::min(gdk_pixbuf_get_width(image.get()), size);
    const int height = std::min(gdk_pixbuf_get_height(image.get()), size);
    GObjectPtr<GdkPixbuf> canvas(gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, size, size));
    if (!canvas) return make_unexpected(std::string("out of memory"));
    gdk_pixbuf_fill(canvas.get(), 0x00000000);
    gdk_pixbuf_copy_area(image.get(), 0, 0, width, height, canvas.get(), (size - width) / 2,
                         (size - height) / 2);
    gchar* buffer = nullptr;
    gsize length = 0;
    GError* error = nullptr;
    if (!gdk_pixbuf_save_to_buffer(canvas.get(), &buffer, &length, "png", &error, nullptr))
      return make_unexpected(takeMessage(error, "could not encode PNG"));
    std::vector<uint8_t> png(buffer, buffer + length);
    g_free(buffer);
    return png;
  }
};

std::shared_ptr<ApplicationPlatform> makeApplicationPlatform() {
  return std::make_shared<GioApplicationPlatform>();
}

}  // namespace ferrowin::platform
