#pragma once
// What the application catalog needs from the desktop: reading desktop entries, starting
// programs, finding and rendering icons. Backend: linux/gio_applications.cpp (GIO's desktop-entry
// support, gdk-pixbuf with librsvg's SVG loader).

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/util/expected.h"

namespace ferrowin::platform {

struct DesktopEntryInfo {
  std::string title;  // Name for the host's locale, else Name; empty when the entry has none
  std::vector<std::string> categories;
  std::string exec;  // the Exec line as written
};

/// Where icons are looked for, most important first.
struct IconSearch {
  std::filesystem::path home;
  std::filesystem::path configHome;  // holds gtk-3.0/settings.ini, which names the user's theme
  std::vector<std::filesystem::path> dataDirs;  // $XDG_DATA_HOME first, then $XDG_DATA_DIRS
};

class ApplicationPlatform {
 public:
  virtual ~ApplicationPlatform() = default;

  /// The entry when it is to be listed: Type=Application, not NoDisplay, not Hidden, shown in one
  /// of `desktops` (OnlyShowIn / NotShowIn), its TryExec found, not Terminal=true. nullopt for
  /// every other entry and for files that cannot be read.
  virtual std::optional<DesktopEntryInfo> readDesktopEntry(
      const std::filesystem::path& file, const std::vector<std::string>& desktops) = 0;

  /// Starts the entry's Exec line (field codes expanded with no files) in its Path, detached
  /// into a session of its own. An error says why the program could not be started.
  virtual Expected<void, std::string> launchDesktopEntry(const std::filesystem::path& file) = 0;

  /// Starts `argv` (argv[0] looked up on PATH) in `directory`, detached like an entry.
  virtual Expected<void, std::string> launchProgram(const std::vector<std::string>& argv,
                                                    const std::filesystem::path& directory) = 0;

  /// The image file of the entry's Icon: an absolute path as it stands, a name looked up in the
  /// user's icon theme, then hicolor, then the pixmaps folders (scalable or the largest size
  /// first).
  virtual std::optional<std::filesystem::path> desktopEntryIcon(const std::filesystem::path& file,
                                                                const IconSearch& search) = 0;
  /// A themed icon by name, looked up as above.
  virtual std::optional<std::filesystem::path> findIcon(const std::string& name,
                                                        const IconSearch& search) = 0;

  /// The image in `file` fitted into size × size (aspect kept, centred on transparency) as an
  /// RGBA PNG. An error when the file is no image the loaders read.
  virtual Expected<std::vector<uint8_t>, std::string> renderIcon(const std::filesystem::path& file,
                                                                 int size) = 0;
};

/// The desktop's implementation.
std::shared_ptr<ApplicationPlatform> makeApplicationPlatform();

}  // namespace ferrowin::platform
