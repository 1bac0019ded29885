#pragma once
// Finding the computer's applications: desktop entries and Steam games.
//
// Desktop entries: every *.desktop under applications/ of $XDG_DATA_HOME, then of each
// $XDG_DATA_DIRS entry in order. Its desktop-file id is the path below applications/ with "/"
// turned into "-"; the first file with an id wins, so a user's copy (even a Hidden one) shadows the
// system's. Folders whose name starts with "." are not entered. What the entry itself must say to
// be listed is the platform reader's (applications.h).

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/applications.h"
#include "server/control/messages.h"

namespace ferrowin::library {

/// The directories and desktop a scan uses, read from the environment when the scan starts.
struct CatalogEnvironment {
  std::filesystem::path home;
  std::filesystem::path configHome;             // $XDG_CONFIG_HOME, else ~/.config
  std::filesystem::path dataHome;               // $XDG_DATA_HOME, else ~/.local/share
  std::vector<std::filesystem::path> dataDirs;  // $XDG_DATA_DIRS, else /usr/local/share:/usr/share
  std::vector<std::string> desktops;            // $XDG_CURRENT_DESKTOP, split on ":"

  static CatalogEnvironment fromProcess();
  platform::IconSearch iconSearch() const;
};

/// Group of a desktop entry: system (Categories has System or Settings), games (Game, or the
/// entry lies under applications/wine/, where Wine and CrossOver put the programs they install),
/// else other.
control::FerrowinAppGroup desktopEntryGroup(const std::vector<std::string>& categories,
                                            bool underWineFolder);

/// The Steam app id a command line starts ("steam steam://rungameid/440" → "440"), or empty.
std::string steamRunGameId(const std::string& exec);

/// Every listable application, sorted by title, uninstallers dropped. Stops early (returning
/// what it has) once `cancelled` is set.
std::vector<control::FerrowinAppSummary> scanApplications(platform::ApplicationPlatform& platform,
                                                          const CatalogEnvironment& environment,
                                                          const std::atomic<bool>& cancelled);

}  // namespace ferrowin::library
