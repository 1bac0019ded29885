#include "server/capture/capture_sources.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

#include "server/capture/jpeg.h"

namespace ferrowin::capture {

using platform::CaptureDisplay;
using platform::CaptureFilter;
using platform::CaptureRect;
using platform::CaptureWindow;
using platform::CaptureWindowRole;
using platform::ShareableContent;

namespace {

constexpr std::string_view kDisplayPrefix = "display:";
constexpr std::string_view kWindowPrefix = "window:";
constexpr std::string_view kOwnIdentifierPrefix = "com.zavel.ferrowin";
constexpr double kLikelyGameCoverage = 0.92;
constexpr int kThumbnailMaxWidth = 320;
constexpr double kThumbnailQuality = 0.7;

std::optional<uint32_t> parseDecimal(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  uint32_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

std::string lowercase(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::string trimmed(std::string_view text) {
  const auto isSpace = [](unsigned char c) { return std::isspace(c) != 0; };
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return std::string(text);
}

// The desktop's file manager plays the part the Finder plays on a Mac: its untitled windows are
// not worth offering and none of its windows is a game.
bool isFileManager(const CaptureWindow& window) {
  static const char* const kFileManagers[] = {"org.gnome.nautilus", "nautilus", "nemo", "caja",
                                              "thunar", "pcmanfm", "pcmanfm-qt", "dolphin"};
  const std::string identifier = lowercase(window.applicationIdentifier);
  return std::any_of(std::begin(kFileManagers), std::end(kFileManagers),
                     [&](const char* name) { return identifier == name; });
}

double area(const CaptureRect& rect) { return rect.width * rect.height; }

double intersectionArea(const CaptureRect& a, const CaptureRect& b) {
  const double width = std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x);
  const double height = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
  return width > 0 && height > 0 ? width * height : 0;
}

std::string applicationName(const CaptureWindow& window) {
  return window.hasApplication() ? window.applicationName : "Unknown";
}

std::string listedTitle(const CaptureWindow& window) {
  return window.title.empty() ? applicationName(window) : window.title;
}

// The preferred window: among those offered, the highest layer, then the largest.
std::optional<uint32_t> preferredWindowId(const std::vector<CaptureWindow>& windows) {
  const CaptureWindow* best = nullptr;
  for (const CaptureWindow& window : windows) {
    if (isExcludedWindow(window)) continue;
    if (best == nullptr || window.layer > best->layer ||
        (window.layer == best->layer && area(window.frame) > area(best->frame))) {
      best = &window;
    }
  }
  return best ? std::optional<uint32_t>(best->id) : std::nullopt;
}

// The scale of the display that shows most of `rect` (1 when none does).
double scaleFor(const CaptureRect& rect, const std::vector<CaptureDisplay>& displays) {
  double scale = 1.0, best = 0;
  for (const CaptureDisplay& display : displays) {
    const double overlap = intersectionArea(rect, display.frame);
    if (overlap > best) {
      best = overlap;
      scale = display.pointPixelScale;
    }
  }
  return scale;
}

std::string sizeText(PixelSize size) {
  return std::to_string(size.width) + "\xC3\x97" + std::to_string(size.height);  // U+00D7
}

}  // namespace

ParsedSourceId parseSourceId(std::string_view text) {
  if (text.starts_with(kDisplayPrefix)) {
    if (auto id = parseDecimal(text.substr(kDisplayPrefix.size()))) {
      return {ParsedSourceId::Kind::display, *id};
    }
  }
  if (text.starts_with(kWindowPrefix)) {
    if (auto id = parseDecimal(text.substr(kWindowPrefix.size()))) {
      return {ParsedSourceId::Kind::window, *id};
    }
  }
  return {};
}

std::string displaySourceId(uint32_t displayId) {
  return std::string(kDisplayPrefix) + std::to_string(displayId);
}

std::string windowSourceId(uint32_t windowId) {
  return std::string(kWindowPrefix) + std::to_string(windowId);
}

std::string CaptureSourceError::description() const {
  switch (code) {
    case Code::notFound:
      return "capture source not found";
    case Code::thumbnailFailed:
      return "thumbnail capture failed";
    case Code::content:
      return detail;
  }
  return "capture source not found";
}

bool isExcludedWindow(const CaptureWindow& window) {
  if (window.frame.width < 64 || window.frame.height < 64) return true;
  if (window.applicationIdentifier.starts_with(kOwnIdentifierPrefix)) return true;
  // Docks, panels, the desktop and notifications are the system's own surfaces.
  if (window.role == CaptureWindowRole::dock || window.role == CaptureWindowRole::desktop ||
      window.role == CaptureWindowRole::notification) {
    return true;
  }
  const std::string title = lowercase(trimmed(window.title));
  if (isFileManager(window) && (title.empty() || title == lowercase(window.applicationName))) {
    return true;
  }
  return title == "underbelly" || title == "wallpaper" || title == "dock" ||
         title.find("backstop") != std::string::npos;
}

int64_t likelyGameScore(const CaptureWindow& window, const std::vector<CaptureDisplay>& displays,
                        std::optional<uint32_t> preferredWindowId) {
  if (window.layer != 0 && preferredWindowId != window.id) return 0;
  if (isExcludedWindow(window) || isFileManager(window)) return 0;
  const double windowArea = area(window.frame);
  if (windowArea <= 0 || displays.empty()) return 0;
  double coverage = 0;
  for (const CaptureDisplay& display : displays) {
    if (display.frame.width <= 0 || display.frame.height <= 0) continue;
    coverage = std::max(coverage, intersectionArea(window.frame, display.frame) / area(display.frame));
  }
  if (coverage < kLikelyGameCoverage) return 0;
  return static_cast<int64_t>(coverage * 10000) + static_cast<int64_t>(windowArea / 1000);
}

CaptureSourceManager::CaptureSourceManager(std::shared_ptr<platform::CaptureBackend> backend)
    : backend_(std::move(backend)), selectedId_(displaySourceId(mainDisplayId())) {}

void CaptureSourceManager::select(const std::string& id) {
  selectedId_ = id;
  const ParsedSourceId parsed = parseSourceId(id);
  followsMainDisplay_ =
      parsed.kind == ParsedSourceId::Kind::display && parsed.id == mainDisplayId();
}

std::optional<CaptureFilter> CaptureSourceManager::contentFilter(
    std::string_view id, const ShareableContent& content) const {
  const ParsedSourceId parsed = parseSourceId(id);
  switch (parsed.kind) {
    case ParsedSourceId::Kind::display:
      for (const CaptureDisplay& display : content.displays) {
        if (display.id == parsed.id) {
          return CaptureFilter{CaptureFilter::Kind::display, display.id, display.frame,
                               display.pointPixelScale};
        }
      }
      return std::nullopt;
    case ParsedSourceId::Kind::window:
      for (const CaptureWindow& window : content.windows) {
        if (window.id == parsed.id) {
          return CaptureFilter{CaptureFilter::Kind::window, window.id, window.frame,
                               scaleFor(window.frame, content.displays)};
        }
      }
      return std::nullopt;
    case ParsedSourceId::Kind::invalid:
      return std::nullopt;
  }
  return std::nullopt;
}

PixelSize CaptureSourceManager::contentPixelSize(const CaptureFilter& filter) {
  const double scale = std::max(filter.pointPixelScale, 1.0);
  const auto side = [&](double points) {
    return std::max(1, static_cast<int>(std::round(points * scale)));  // half away from zero
  };
  return {side(filter.contentRect.width), side(filter.contentRect.height)};
}

std::string CaptureSourceManager::defaultDesktopSourceId(const ShareableContent& content) const {
  const uint32_t main = mainDisplayId();
  for (const CaptureDisplay& display : content.displays) {
    if (display.id == main) return displaySourceId(main);
  }
  if (!content.displays.empty()) return displaySourceId(content.displays.front().id);
  return selectedId_;
}

std::string CaptureSourceManager::sourceTitle(std::string_view id,
                                              const ShareableContent& content) const {
  const ParsedSourceId parsed = parseSourceId(id);
  const std::string idText(id);
  switch (parsed.kind) {
    case ParsedSourceId::Kind::display:
      return (parsed.id == mainDisplayId() ? "Primary Display (" : "Display (") + idText + ")";
    case ParsedSourceId::Kind::window:
      for (const CaptureWindow& window : content.windows) {
        if (window.id == parsed.id) return listedTitle(window) + " (" + idText + ")";
      }
      return "Window (" + idText + ")";
    case ParsedSourceId::Kind::invalid:
      return idText;
  }
  return idText;
}

std::vector<ListedCaptureSource> CaptureSourceManager::listSources(
    const ShareableContent& content) const {
  std::vector<ListedCaptureSource> out;
  const uint32_t main = mainDisplayId();

  std::vector<const CaptureDisplay*> displays;
  for (const CaptureDisplay& display : content.displays) displays.push_back(&display);
  std::stable_sort(displays.begin(), displays.end(), [&](const auto* a, const auto* b) {
    if ((a->id == main) != (b->id == main)) return a->id == main;
    return a->id < b->id;
  });
  for (size_t i = 0; i < displays.size(); ++i) {
    const CaptureDisplay& display = *displays[i];
    const bool isMain = display.id == main;
    const PixelSize size = contentPixelSize(*contentFilter(displaySourceId(display.id), content));
    out.push_back(ListedCaptureSource{displaySourceId(display.id), CaptureSourceKind::display,
                                      isMain ? "Primary Display" : "Display " + std::to_string(i + 1),
                                      sizeText(size), size.width, size.height, isMain,
                                      std::nullopt});
  }

  struct Candidate {
    const CaptureWindow* window;
    int64_t score;
    std::string title;
    std::string foldedTitle;
  };
  const auto preferred = preferredWindowId(content.windows);
  std::vector<Candidate> windows;
  for (const CaptureWindow& window : content.windows) {
    if (isExcludedWindow(window)) continue;
    const std::string title = listedTitle(window);
    windows.push_back(Candidate{&window, likelyGameScore(window, content.displays, preferred), title,
                                lowercase(title)});
  }
  std::sort(windows.begin(), windows.end(), [](const Candidate& a, const Candidate& b) {
    if (a.score != b.score) return a.score > b.score;
    if (a.foldedTitle != b.foldedTitle) return a.foldedTitle < b.foldedTitle;
    return a.window->id < b.window->id;
  });
  for (const Candidate& candidate : windows) {
    const CaptureWindow& window = *candidate.window;
    const PixelSize size = contentPixelSize(*contentFilter(windowSourceId(window.id), content));
    out.push_back(ListedCaptureSource{windowSourceId(window.id), CaptureSourceKind::window,
                                      candidate.title, applicationName(window), size.width,
                                      size.height, std::nullopt, candidate.score > 0});
  }
  return out;
}

Expected<platform::ShareableContent, platform::CaptureError>
CaptureSourceManager::fetchContent() const {
  return backend_->shareableContent(true);
}

Expected<CaptureSourceManager::SourceList, CaptureSourceError>
CaptureSourceManager::sourcesForClient(
    const Expected<platform::ShareableContent, platform::CaptureError>& content) {
  if (!content) {
    return unexpected(CaptureSourceError{CaptureSourceError::Code::content,
                                         content.error().description()});
  }
  SourceList list;
  list.sources = listSources(*content);
  const bool listed = std::any_of(list.sources.begin(), list.sources.end(),
                                  [&](const ListedCaptureSource& s) { return s.id == selectedId_; });
  if (!listed && !list.sources.empty()) select(list.sources.front().id);
  list.selectedId = selectedId_;
  return list;
}

PixelSize CaptureSourceManager::thumbnailSize(PixelSize content) {
  const int width = std::min(std::max(content.width, 1), kThumbnailMaxWidth);
  const double height = content.height > 0 ? content.height : 1;
  const int scaled = static_cast<int>(height * width / std::max(content.width, 1));
  return {width, std::max(scaled, 2)};
}

Expected<std::vector<uint8_t>, CaptureSourceError> CaptureSourceManager::thumbnail(
    std::string_view id) const {
  auto content = backend_->shareableContent(true);
  if (!content) {
    return unexpected(CaptureSourceError{CaptureSourceError::Code::content,
                                         content.error().description()});
  }
  const auto filter = contentFilter(id, *content);
  if (!filter) return unexpected(CaptureSourceError{CaptureSourceError::Code::notFound, ""});
  const PixelSize size = thumbnailSize(contentPixelSize(*filter));
  auto picture = backend_->screenshot(*filter, size.width, size.height, false);
  if (!picture) return unexpected(CaptureSourceError{CaptureSourceError::Code::thumbnailFailed, ""});
  auto jpeg = encodeJpeg(*picture, kThumbnailQuality);
  if (!jpeg) return unexpected(CaptureSourceError{CaptureSourceError::Code::thumbnailFailed, ""});
  return std::move(*jpeg);
}

void CaptureSourceManager::selectSource(
    const std::string& id, std::function<void(Expected<Selection, CaptureSourceError>)> done) {
  auto content = backend_->shareableContent(true);
  if (!content) {
    return done(unexpected(
        CaptureSourceError{CaptureSourceError::Code::content, content.error().description()}));
  }
  if (!contentFilter(id, *content)) {
    return done(unexpected(CaptureSourceError{CaptureSourceError::Code::notFound, ""}));
  }
  select(id);
  auto streamer = streamer_.lock();
  if (!streamer) return done(Selection{selectedId_, false});
  streamer->applyCaptureSource(
      id, *content, true, [this, done = std::move(done)](bool applied) {
        done(Selection{selectedId_, applied});
      });
}

}  // namespace ferrowin::capture
