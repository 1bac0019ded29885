#include "inputhelper/stdin_handler.h"

#include <fmt/format.h>
#include <fmt/printf.h>

#include <charconv>

#include "common/util/log.h"
#include "inputhelper/gamepad_server.h"
#include "inputhelper/packets.h"

namespace ferrowin::inputhelper {

namespace {

auto mainLog() { return common::logger(common::kHelperSubsystem, "main"); }

}  // namespace

std::vector<std::string> LineSplitter::feed(std::string_view bytes) {
  pending_.append(bytes);
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t newline; (newline = pending_.find('\n', start)) != std::string::npos;
       start = newline + 1) {
    lines.emplace_back(pending_, start, newline - start);
  }
  pending_.erase(0, start);
  return lines;
}

std::string shortestDecimal(double value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, result.ptr);
  if (text.find_first_of(".eni") == std::string::npos) text += ".0";
  return text;
}

void StdinLineHandler::report(const std::string& message) {
  mainLog()->info("{}", message);
  context_.writeStderr(message + "\n");
}

void StdinLineHandler::handle(std::string_view line) {
  auto parsed = common::parseJson(line);
  if (parsed) {
    if (auto allowlist = common::decodePeerAllowlist(*parsed)) {
      context_.allowlist.replace(allowlist->peers);
      return;
    }
    if (auto steam = common::decodeSteamSupport(*parsed)) {
      const bool on = steam->steamSupport;
      {
        std::lock_guard guard(context_.session.lock);
        context_.session.steamSupport = on;
      }
      SessionBox& session = context_.session;
      context_.postToMain([&session, on] {
        if (session.server) session.server->applySteamSupport(on);
      });
      report(std::string("steam support: ") + (on ? "on" : "off"));
      return;
    }
    if (auto look = common::decodeRemapLook(*parsed); look && look->remapLook) {
      const auto tuning = common::clampedLookTuning(look->tuning());
      {
        // Kept for a server that does not exist yet, so an early line is not lost.
        std::lock_guard guard(context_.session.lock);
        context_.session.lookTuning = tuning;
      }
      SessionBox& session = context_.session;
      context_.postToMain([&session, tuning] {
        if (session.server) session.server->setLookTuning(tuning);
      });
      report(fmt::format("remap: sensitivity={} accel={} dz={} curve={} ramp={} vScale={}",
                         shortestDecimal(tuning.sensitivity), shortestDecimal(tuning.acceleration),
                         shortestDecimal(tuning.deadzone), common::rawValue(tuning.stickCurve),
                         common::rawValue(tuning.rampCurve),
                         shortestDecimal(tuning.verticalScale)));
      return;
    }
  }
  auto geometryLine = parsed ? common::decodePointerGeometry(*parsed)
                             : Expected<common::PointerGeometryWire, common::JsonError>(
                                   make_unexpected(parsed.error()));
  if (!geometryLine) {
    const std::string raw = isValidUtf8(line) ? std::string(line) : "<binary>";
    mainLog()->error("Bad stdin line: {} raw={}", geometryLine.error().description(), raw);
    context_.writeStderr("stdin: bad line " + raw + "\n");
    return;
  }
  const auto geometry = geometryLine->geometry();
  context_.geometry.set(geometry);
  if (!geometry) {
    report("geometry: cleared");
    return;
  }
  const auto& r = geometry->contentRect;
  report(fmt::sprintf("geometry: updated rect=(%.1f,%.1f %.1fx%.1f) active=%lldx%lld", r.x, r.y,
                      r.width, r.height, static_cast<long long>(geometry->activeWidth),
                      static_cast<long long>(geometry->activeHeight)));
}

}  // namespace ferrowin::inputhelper
