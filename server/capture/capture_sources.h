#pragma once
// What can be captured and what is selected: the displays and application windows offered to the
// client (with titles, sizes and a likely-game mark), their JPEG thumbnails, the selected source
// and whether it follows the main display, and the content filter for a source id.
//
// Source ids are "display:<id>" or "window:<id>" with a decimal unsigned 32-bit id.
//
// Threading: one manager per host, used from the main executor. Calls that fetch content or take a
// screenshot block on the capture backend for a few milliseconds.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/util/expected.h"
#include "platform/capture.h"

namespace ferrowin::capture {

struct ParsedSourceId {
  enum class Kind { invalid, display, window };
  Kind kind = Kind::invalid;
  uint32_t id = 0;
  bool operator==(const ParsedSourceId&) const = default;
};

/// display(id), window(id) or invalid. The number must be plain decimal digits within 32 bits.
ParsedSourceId parseSourceId(std::string_view text);
std::string displaySourceId(uint32_t displayId);
std::string windowSourceId(uint32_t windowId);

struct CaptureSourceError {
  enum class Code {
    notFound,         // "capture source not found"
    thumbnailFailed,  // "thumbnail capture failed"
    content,          // fetching the shareable content failed; `detail` is its description
  };
  Code code = Code::notFound;
  std::string detail;
  std::string description() const;
};

enum class CaptureSourceKind { display, window };

/// One entry of the list offered to the client.
struct ListedCaptureSource {
  std::string id;
  CaptureSourceKind kind = CaptureSourceKind::display;
  std::string title;
  std::optional<std::string> subtitle;
  int width = 0;
  int height = 0;
  std::optional<bool> isPrimary;     // displays only
  std::optional<bool> isLikelyGame;  // windows only
  bool operator==(const ListedCaptureSource&) const = default;
};

struct PixelSize {
  int width = 0;
  int height = 0;
  bool operator==(const PixelSize&) const = default;
};

/// The streamer side of a source switch: capture `id` from now on, using `content`; `done(applied)`
/// tells whether capture now shows it. A failure is reported to the client's error callback when
/// `surfacesError`, otherwise only logged.
class CaptureSourceSwitcher {
 public:
  virtual ~CaptureSourceSwitcher() = default;
  virtual void applyCaptureSource(const std::string& id, const platform::ShareableContent& content,
                                  bool surfacesError, std::function<void(bool applied)> done) = 0;
};

/// Window rules, exposed for the ordering and the tests.
bool isExcludedWindow(const platform::CaptureWindow& window);
/// 0 when not a likely game; larger for bigger windows that cover more of a display.
int64_t likelyGameScore(const platform::CaptureWindow& window,
                        const std::vector<platform::CaptureDisplay>& displays,
                        std::optional<uint32_t> preferredWindowId);

class CaptureSourceManager {
 public:
  explicit CaptureSourceManager(std::shared_ptr<platform::CaptureBackend> backend);

  const std::string& selectedId() const { return selectedId_; }
  bool followsMainDisplay() const { return followsMainDisplay_; }
  void setStreamer(std::weak_ptr<CaptureSourceSwitcher> streamer) { streamer_ = std::move(streamer); }

  /// Records `id` as the captured source; choosing the current main display makes the selection
  /// follow whichever display is main later.
  void select(const std::string& id);

  std::optional<platform::CaptureFilter> contentFilter(std::string_view id,
                                                       const platform::ShareableContent& content) const;
  static PixelSize contentPixelSize(const platform::CaptureFilter& filter);
  std::string defaultDesktopSourceId(const platform::ShareableContent& content) const;
  /// For logs: "Primary Display (display:1)", "Level 1 (window:7)", "Window (window:9)", ...
  std::string sourceTitle(std::string_view id, const platform::ShareableContent& content) const;

  /// Displays (main first, then by id), then the windows worth offering (likely games first).
  std::vector<ListedCaptureSource> listSources(const platform::ShareableContent& content) const;

  struct SourceList {
    std::string selectedId;
    std::vector<ListedCaptureSource> sources;
  };
  /// Fresh content (on-screen windows only) for sourcesForClient(). Any thread: it blocks on the
  /// display server, so the host calls it off the main executor.
  [[nodiscard]] Expected<platform::ShareableContent, platform::CaptureError> fetchContent() const;
  /// What the client's list request answers: the fresh `content` listed; a selection that is no
  /// longer listed moves to the first source (the main display).
  [[nodiscard]] Expected<SourceList, CaptureSourceError> sourcesForClient(
      const Expected<platform::ShareableContent, platform::CaptureError>& content);

  /// A JPEG (quality 0.7) at most 320 pixels wide, keeping the source's aspect ratio. Any thread
  /// (it reads no selection state); the host calls it off the main executor.
  [[nodiscard]] Expected<std::vector<uint8_t>, CaptureSourceError> thumbnail(
      std::string_view id) const;
  /// The size thumbnail() uses for a source of width × height pixels.
  static PixelSize thumbnailSize(PixelSize content);

  struct Selection {
    std::string selectedId;
    bool applied = false;  // false when not streaming: the selection applies to the next start
  };
  /// The client's source switch. `done` is called once (at once, or when the streamer answers;
  /// the manager must still exist then, as both belong to the video server).
  void selectSource(const std::string& id,
                    std::function<void(Expected<Selection, CaptureSourceError>)> done);

 private:
  uint32_t mainDisplayId() const { return backend_->mainDisplayId(); }

  std::shared_ptr<platform::CaptureBackend> backend_;
  std::string selectedId_;
  bool followsMainDisplay_ = true;
  std::weak_ptr<CaptureSourceSwitcher> streamer_;
};

}  // namespace ferrowin::capture
