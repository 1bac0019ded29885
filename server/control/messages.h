#pragma once
// The JSON bodies of the control API. Responses are encoded compact with sorted keys and optional
// fields left out; requests are decoded strictly (required keys present with the right type,
// enumeration values exactly as listed, unknown keys ignored, optional keys may be null).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/helper_stdin.h"
#include "common/look_curves.h"
#include "common/util/expected.h"
#include "common/util/json.h"

namespace ferrowin::control {

struct FerrowinAPIError {
  std::string error;
};

struct FerrowinControlStatus {
  std::string version = "1";
  std::string hostName;
  uint16_t controlPort = 0;
  uint16_t videoPort = 0;
  uint16_t gamepadPort = 0;
  std::string videoTransport;  // "tcp", "udp_arq" or "udp_fec"
  bool gamepadEnabled = false;
  bool streamingEnabled = false;
  std::string gamepadProfile;  // "generic", "xbox" or empty
  std::optional<std::string> frontmostBundleId;
  std::optional<std::string> frontmostExecutable;
  std::string serverId;
};

struct FerrowinHostSettings {
  std::string gamepadProfile;
};

/// In this order: games first, system applications last.
enum class FerrowinAppGroup { games, other, system };
std::string_view appGroupName(FerrowinAppGroup group);
std::optional<FerrowinAppGroup> appGroupNamed(std::string_view name);

struct FerrowinAppSummary {
  std::string id;  // the application's path
  std::string title;
  FerrowinAppGroup group = FerrowinAppGroup::other;
  bool operator==(const FerrowinAppSummary&) const = default;
};

struct FerrowinAppsResponse {
  std::vector<FerrowinAppSummary> apps;
  std::vector<std::string> recent;  // ids, most recent first
};

/// The body of launch, hide and remove-from-recent.
struct FerrowinAppLaunchRequest {
  std::string id;
};

struct FerrowinAppLaunchResponse {
  std::string id;
};

enum class FerrowinCaptureSourceKind { display, window };

struct FerrowinCaptureSource {
  std::string id;
  FerrowinCaptureSourceKind kind = FerrowinCaptureSourceKind::display;
  std::string title;
  std::optional<std::string> subtitle;
  int64_t width = 0;
  int64_t height = 0;
  std::optional<bool> isPrimary;
  std::optional<bool> isLikelyGame;
};

struct FerrowinCaptureSourcesResponse {
  std::string selectedId;
  std::vector<FerrowinCaptureSource> sources;
};

struct FerrowinCaptureSourceRequest {
  std::string id;
};

struct FerrowinCaptureSourceResponse {
  std::string selectedId;
  bool applied = false;
};

/// PUT "/v1/remap-settings": the look remapper's tuning, exactly as the helper takes it.
using FerrowinRemapLookSettings = common::GamepadRemapLookTuning;

struct FerrowinSessionReleaseResponse {
  bool ok = true;
};

struct FerrowinAuthHelloRequest {
  std::optional<std::string> keyId;
  std::string clientBundleVersion;
};

struct FerrowinAuthHelloResponse {
  std::string challenge;  // Base64 of 32 random bytes
  bool paired = false;
  bool pinRequired = true;
  std::string serverBundleVersion;
  std::string serverId;
};

struct FerrowinPairRequest {
  std::string code;
  std::string keyId;
  std::optional<std::string> attestation;
  std::optional<std::string> assertion;
};

struct FerrowinAuthResumeRequest {
  std::string keyId;
  std::string assertion;
};

struct FerrowinPairResponse {
  bool ok = true;
};

// Encoders: compact JSON, sorted keys.
std::string encode(const FerrowinAPIError& message);
std::string encode(const FerrowinControlStatus& message);
std::string encode(const FerrowinHostSettings& message);
std::string encode(const FerrowinAppsResponse& message);
std::string encode(const FerrowinAppLaunchResponse& message);
/// The catalog file: a JSON array of summaries.
std::string encode(const std::vector<FerrowinAppSummary>& summaries);
std::string encode(const FerrowinCaptureSourcesResponse& message);
std::string encode(const FerrowinCaptureSourceResponse& message);
std::string encode(const FerrowinRemapLookSettings& message);
std::string encode(const FerrowinSessionReleaseResponse& message);
std::string encode(const FerrowinAuthHelloResponse& message);
std::string encode(const FerrowinPairResponse& message);

// Decoders: the first failure names the field.
using Body = std::span<const uint8_t>;
[[nodiscard]] Expected<FerrowinAuthHelloRequest, common::JsonError> decodeAuthHelloRequest(
    Body body);
[[nodiscard]] Expected<FerrowinPairRequest, common::JsonError> decodePairRequest(Body body);
[[nodiscard]] Expected<FerrowinAuthResumeRequest, common::JsonError> decodeAuthResumeRequest(
    Body body);
[[nodiscard]] Expected<FerrowinRemapLookSettings, common::JsonError> decodeRemapLookSettings(
    Body body);
[[nodiscard]] Expected<FerrowinCaptureSourceRequest, common::JsonError> decodeCaptureSourceRequest(
    Body body);
[[nodiscard]] Expected<FerrowinAppLaunchRequest, common::JsonError> decodeAppLaunchRequest(
    Body body);
/// A JSON array of summaries (the catalog file); any bad element fails the whole array.
[[nodiscard]] Expected<std::vector<FerrowinAppSummary>, common::JsonError> decodeAppSummaries(
    std::string_view text);
/// A JSON array of strings (the recent and hidden files).
[[nodiscard]] Expected<std::vector<std::string>, common::JsonError> decodeStringArray(
    std::string_view text);

}  // namespace ferrowin::control
