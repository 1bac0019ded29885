#pragma once
// The catalog's small rules: title order, the uninstaller filter and icon file names.

#include <string>
#include <string_view>
#include <vector>

#include "server/control/messages.h"

namespace ferrowin::library {

/// Title order: letter case ignored (ASCII), runs of digits compared as numbers ("Game 9" before
/// "Game 10"). Negative, zero or positive like strcmp.
int compareTitles(std::string_view a, std::string_view b);

/// Sorts by title, then by id so equal titles keep one order from scan to scan.
void sortByTitle(std::vector<control::FerrowinAppSummary>& apps);

/// An uninstaller: its title or its file name without extension starts with "Uninstall ".
bool isUninstaller(std::string_view title, std::string_view fileStem);

/// Drops uninstallers (judged by title and by the id's file name without extension).
std::vector<control::FerrowinAppSummary> withoutUninstallers(
    std::vector<control::FerrowinAppSummary> apps);

/// The icon cache's file name for `id`: lowercase hex SHA-256 of its UTF-8 bytes, then ".png".
std::string iconFileName(std::string_view id);

}  // namespace ferrowin::library
