#include "server/app/setup_rows.h"

#include <algorithm>

namespace ferrowin::app {

namespace {

constexpr const char* kUdevRule =
    "KERNEL==\"uhid\", SUBSYSTEM==\"misc\", TAG+=\"uaccess\", OPTIONS+=\"static_node=uhid\"";

std::string enabled(bool on) { return on ? "Enabled" : "Not enabled"; }

}  // namespace

std::string virtualGamepadText(const PermissionState& state) {
  if (state.accessibilityTrusted != true) return "Checked after Accessibility is enabled.";
  if (state.helperMissing)
    return "The input helper FerrowinInputHelper is missing beside ferrowin-server. Reinstall "
           "Ferrowin.";
  if (state.virtualHIDAvailable == true)
    return "Ferrowin can create a virtual gamepad for games on this computer.";
  if (!state.virtualHIDAvailable) return "Checking whether Ferrowin can create a virtual gamepad…";
  return std::string("Could not create a virtual gamepad. /dev/uhid must be readable and writable "
                     "for you: put the line ") +
         kUdevRule +
         " in /etc/udev/rules.d/70-ferrowin-uhid.rules, then run \"sudo modprobe uhid && sudo "
         "udevadm control --reload && sudo udevadm trigger\" (or add yourself to a group that "
         "owns /dev/uhid). Ferrowin need not be restarted: this row checks again.";
}

std::string wifiText(const PermissionState& state) {
  if (state.airDropEveryone)
    return "Wi‑Fi power saving is on for " + state.powerSavingInterface +
           ", this adds latency spikes to Wi‑Fi. Turn it off.";
  return "Wi‑Fi power saving is not on.";
}

std::vector<SetupRow> setupRows(const PermissionState& state, const std::string& powerSavingFix) {
  const bool trusted = state.accessibilityTrusted == true;
  const bool gamepadPending = trusted && !state.virtualHIDAvailable && !state.helperMissing;
  return {
      {.kind = SetupRowKind::screenRecording,
       .name = "Screen Recording",
       .satisfied = state.screenRecordingGranted,
       .state = enabled(state.screenRecordingGranted),
       .explanation = "Needed to stream your display: Ferrowin captures the X display named by "
                      "DISPLAY.",
       .remedy = "Run Ferrowin in your graphical session, with DISPLAY naming an X display it "
                 "may read."},
      {.kind = SetupRowKind::localNetwork,
       .name = "Local Network",
       .satisfied = state.localNetworkAdvertised,
       .state = enabled(state.localNetworkAdvertised),
       .explanation = "Optional. Bonjour so your iPhone can find this computer on Wi‑Fi. You can "
                      "still connect by IP without it.",
       .remedy = "Start the Avahi daemon (sudo systemctl enable --now avahi-daemon); connecting "
                 "by IP works without it."},
      {.kind = SetupRowKind::accessibility,
       .name = "Accessibility",
       .satisfied = trusted,
       .state = enabled(trusted),
       .explanation = "Needed for the virtual gamepad, keyboard remap, and touch mouse.",
       .remedy = "Input is injected through XTEST: run Ferrowin on an X display whose server "
                 "offers the XTEST extension."},
      {.kind = SetupRowKind::virtualGamepad,
       .name = "Virtual Gamepad",
       .satisfied = state.virtualHIDAvailable == true && trusted && !state.helperMissing,
       .pending = gamepadPending,
       .state = gamepadPending                     ? "Checking"
                : state.virtualHIDAvailable == true ? "Enabled"
                                                     : "Not enabled",
       .explanation = virtualGamepadText(state)},
      {.kind = SetupRowKind::wifi,
       .name = "Wi‑Fi Power Saving",
       .satisfied = !state.airDropEveryone,
       .state = state.airDropEveryone ? "On" : "OK",
       .explanation = wifiText(state),
       .remedy = state.airDropEveryone ? powerSavingFix : ""},
  };
}

std::string setupTable(const PermissionState& state, const std::string& powerSavingFix) {
  const auto rows = setupRows(state, powerSavingFix);
  size_t nameWidth = 0, stateWidth = 0;
  // Column widths in characters, not bytes ("Wi‑Fi" has a three-byte hyphen).
  auto width = [](const std::string& text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(),
                                             [](char c) { return (c & 0xC0) != 0x80; }));
  };
  for (const auto& row : rows) {
    nameWidth = std::max(nameWidth, width(row.name));
    stateWidth = std::max(stateWidth, width(row.state));
  }
  std::string out;
  for (const auto& row : rows) {
    std::string line = row.name + std::string(nameWidth - width(row.name) + 2, ' ') + row.state +
                       std::string(stateWidth - width(row.state) + 2, ' ');
    const std::string& says =
        row.satisfied || row.remedy.empty() ? row.explanation : row.remedy;
    out += line + says + "\n";
  }
  out += state.canFinish() ? "Setup can finish.\n"
                           : "Setup cannot finish: it needs Screen Recording, Accessibility and "
                             "the Virtual Gamepad.\n";
  return out;
}

}  // namespace ferrowin::app
