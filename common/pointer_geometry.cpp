#include "common/pointer_geometry.h"

namespace ferrowin::common {

std::optional<CapturePointerGeometry> CapturePointerGeometryStore::read() const {
  std::lock_guard guard(lock_);
  return geometry_;
}

void CapturePointerGeometryStore::set(std::optional<CapturePointerGeometry> value) {
  OnChange onChange;
  {
    std::lock_guard guard(lock_);
    geometry_ = value;
    onChange = onChange_;
  }
  if (onChange) onChange(value);
}

void CapturePointerGeometryStore::setOnChange(OnChange onChange) {
  std::lock_guard guard(lock_);
  onChange_ = std::move(onChange);
}

}  // namespace ferrowin::common
