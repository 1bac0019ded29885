#pragma once
// Where the streamed picture sits on screen. The host publishes it; the helper maps the client's
// absolute pointer positions through it.

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

namespace ferrowin::common {

struct PointerRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  bool operator==(const PointerRect&) const = default;
};

struct CapturePointerGeometry {
  PointerRect contentRect;  // global display coordinates
  int64_t activeWidth = 0;  // the picture the client reports positions in
  int64_t activeHeight = 0;
  bool operator==(const CapturePointerGeometry&) const = default;
};

/// Thread-safe holder of the current geometry (empty = unknown) with one change callback, which
/// runs on the setting thread after the lock is released.
class CapturePointerGeometryStore {
 public:
  using OnChange = std::function<void(const std::optional<CapturePointerGeometry>&)>;

  std::optional<CapturePointerGeometry> read() const;
  void set(std::optional<CapturePointerGeometry> value);
  void setOnChange(OnChange onChange);

 private:
  mutable std::mutex lock_;
  std::optional<CapturePointerGeometry> geometry_;
  OnChange onChange_;
};

}  // namespace ferrowin::common
