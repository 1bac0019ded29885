#include "inputhelper/arguments.h"

#include <limits>
#include <optional>

namespace ferrowin::inputhelper {

const std::string_view kUsageText =
    "FerrowinInputHelper — Ferrowin UDP input + HID/CGEvent injector\n\nUSAGE:\n"
    "  FerrowinInputHelper --port <u16> --profile <generic|xbox> \\\n"
    "    [--gamepad-hid] [--mouse-hid] [--timeout-ms <int>]\n"
    "  FerrowinInputHelper --preflight [--prompt-accessibility] [--skip-hid]\n\n"
    "Stdin JSON lines: geometry (PointerGeometryWire) or remap look (RemapLookStdinWire).\n"
    "--preflight prints one JSON line on stdout (Accessibility + Virtual HID) and exits.";

std::string ArgumentsError::description() const {
  if (kind == Kind::needHID) return "error: need --gamepad-hid and/or --mouse-hid\n";
  return std::string(kUsageText);
}

namespace {

// Decimal digits with an optional sign, in [low, high]. "-0" is zero.
std::optional<int64_t> parseDecimal(std::string_view text, int64_t low, int64_t high) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Accumulate as a negative magnitude so INT64_MIN fits.
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (value < (std::numeric_limits<int64_t>::min() + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == std::numeric_limits<int64_t>::min()) return std::nullopt;
    value = -value;
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

}  // namespace

Expected<InputHelperArgs, ArgumentsError> parseArguments(const std::vector<std::string>& args) {
  const auto usage = make_unexpected(ArgumentsError{ArgumentsError::Kind::usage});
  InputHelperArgs out;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    if (arg == "-h" || arg == "--help") {
      return usage;
    } else if (arg == "--port") {
      auto text = value();
      auto port = text ? parseDecimal(*text, 0, 65535) : std::nullopt;
      if (!port) return usage;
      out.port = static_cast<uint16_t>(*port);
    } else if (arg == "--profile") {
      auto text = value();
      auto profile = text ? common::deviceProfileFromText(*text) : std::nullopt;
      if (!profile) return usage;
      out.profile = *profile;
    } else if (arg == "--timeout-ms") {
      auto text = value();
      auto timeout =
          text ? parseDecimal(*text, 0, std::numeric_limits<int64_t>::max()) : std::nullopt;
      if (!timeout) return usage;
      out.timeoutMs = *timeout;
    } else if (arg == "--gamepad-hid") {
      out.enableGamepadHID = true;
    } else if (arg == "--mouse-hid") {
      out.enableMouseHID = true;
    } else if (arg == "--preflight") {
      out.preflight = true;
    } else if (arg == "--prompt-accessibility") {
      out.promptAccessibility = true;
    } else if (arg == "--skip-hid") {
      out.skipHID = true;
    } else {
      return usage;
    }
  }
  if (!out.preflight && !out.enableGamepadHID && !out.enableMouseHID) {
    return make_unexpected(ArgumentsError{ArgumentsError::Kind::needHID});
  }
  return out;
}

}  // namespace ferrowin::inputhelper
