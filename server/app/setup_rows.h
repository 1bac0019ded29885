#pragma once
// The rows of the setup window, as texts: the window, `ferrowin-server --check` and the headless
// host's start-up log all say the same thing.

#include <string>
#include <vector>

#include "server/app/permission_monitor.h"

namespace ferrowin::app {

enum class SetupRowKind { screenRecording, localNetwork, accessibility, virtualGamepad, wifi };

struct SetupRow {
  SetupRowKind kind;
  std::string name;
  /// Satisfied; a row that is not yet known (the gamepad probe still running) is not.
  bool satisfied = false;
  /// Not yet known.
  bool pending = false;
  /// Short state for a table: "Enabled", "Not enabled", "Checking", "OK", "On".
  std::string state;
  /// What the row means, or for the gamepad and Wi-Fi rows, what was found.
  std::string explanation;
  /// What to do about it when not satisfied (empty when there is nothing to do).
  std::string remedy;
};

inline constexpr const char* kSetupTitle = "Set Up Ferrowin";
inline constexpr const char* kSetupWindowTitle = "Ferrowin Setup";
inline constexpr const char* kSetupNote =
    "If your firewall asks to allow incoming connections, allow Ferrowin.";

/// The five rows in the window's order.
std::vector<SetupRow> setupRows(const PermissionState& state, const std::string& powerSavingFix);

/// The Virtual Gamepad row's state text.
std::string virtualGamepadText(const PermissionState& state);
/// The Wi-Fi warning, or its all-clear text.
std::string wifiText(const PermissionState& state);

/// The table `ferrowin-server --check` prints, and its last line (whether setup can finish).
std::string setupTable(const PermissionState& state, const std::string& powerSavingFix);

}  // namespace ferrowin::app
