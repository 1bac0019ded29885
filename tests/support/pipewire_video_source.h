#pragma once
// A PipeWire video node that a test steers: a solid colour of a chosen size in BGRx, the size
// changed while it runs (the consumer renegotiates), and cursor metadata (an 8 × 8 opaque white
// square with its hotspot at the top left) at a chosen position. It publishes through a
// connection the test hands it (PipeWireServer::connect) and goes away with the object.

#include <cstdint>
#include <memory>
#include <string>

namespace ferrowin::testing {

class PipeWireVideoSource {
 public:
  /// Takes `fd`. Empty when the node could not be created.
  static std::unique_ptr<PipeWireVideoSource> publish(int fd, const std::string& name, int width,
                                                      int height, uint32_t rgb);
  ~PipeWireVideoSource();

  void setColour(uint32_t rgb);
  /// The node offers only this size from now on.
  void resize(int width, int height);
  /// Cursor metadata with every buffer from now on.
  void showCursor(int x, int y);

  struct State;

 private:
  explicit PipeWireVideoSource(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace ferrowin::testing
