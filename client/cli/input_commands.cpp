// Input commands: one gamepad, look, mouse, key or text datagram to the host's input port
// (control port + 2), optionally followed by listening for rumble on the same socket.

#include <cstdio>
#include <memory>
#include <string>

#include "client/cli/commands.h"
#include "client/input/input_datagrams.h"
#include "client/input/input_sender.h"

namespace ferrowin::client::cli {

namespace {

// The input port sits two above the control port.
constexpr uint16_t kInputPortOffset = 2;

struct InputOptions {
  HostOptions host;
  double listenRumble = 0;
};

// A field's default as a number (capture_default_str shows byte-sized fields as characters).
template <class T>
std::string number(T value) {
  return std::to_string(+value);
}

int fail(const std::string& message) {
  std::fprintf(stderr, "ferrowin-client: %s\n", message.c_str());
  return 1;
}

// Adds an input subcommand; `encode(sequence)` builds its datagram.
template <class Encode>
CLI::App* addInputCommand(CLI::App& app, CLI::App& input, CommandContext& context, const char* name,
                          const char* description, Encode encode) {
  auto options = std::make_shared<InputOptions>();
  auto* command = input.add_subcommand(name, description);
  addHostOptions(command, options->host, /*required=*/false);
  command
      ->add_option("--listen-rumble", options->listenRumble,
                   "after sending, print the rumble datagrams received for SECONDS")
      ->type_name("SECONDS")
      ->check(CLI::NonNegativeNumber);
  command->callback([&app, &context, options, command, encode] {
    context.exitCode = [&] {
      const auto dir = stateDir(app);
      auto host = hostFor(dir, options->host, command);
      if (!host) return 1;
      const uint16_t inputPort = static_cast<uint16_t>(host->port + kInputPortOffset);
      auto sequence = takeInputSequence(dir);
      if (!sequence) return fail(sequence.error().description());
      Expected<Datagram, InputError> datagram = encode(*sequence);
      if (!datagram) return fail(datagram.error().description());
      auto sender = InputSender::open(host->host, inputPort);
      if (!sender) return fail(sender.error().description());
      if (auto sent = sender->send(*datagram); !sent) return fail(sent.error().description());
      std::printf("Sent %s datagram %u to %s port %u\n", command->get_name().c_str(), *sequence,
                  host->host.c_str(), inputPort);
      std::fflush(stdout);
      if (options->listenRumble > 0) {
        sender->listenForRumble(options->listenRumble, [](const RumbleDatagram& rumble) {
          std::printf("rumble %u: motors %u %u %u %u, duration %u\n", rumble.sequence,
                      rumble.motors.m0, rumble.motors.m1, rumble.motors.m2, rumble.motors.m3,
                      rumble.motors.duration);
          std::fflush(stdout);
        });
      }
      return 0;
    }();
  });
  command->fallthrough();
  return command;
}

}  // namespace

void registerInputCommands(CLI::App& app, CommandContext& context) {
  auto* input = app.add_subcommand("input", "send input datagrams to the host's input port");
  input->require_subcommand(1);
  input->fallthrough();

  auto gamepad = std::make_shared<inputhelper::VirtualGamepadInputReport>();
  auto* pad = addInputCommand(app, *input, context, "gamepad", "one gamepad state",
                              [gamepad](uint32_t sequence) -> Expected<Datagram, InputError> {
                                return encodeGamepadDatagram({sequence, *gamepad});
                              });
  pad->add_option("--buttons", gamepad->buttons, "button bit set")
      ->default_str(number(gamepad->buttons));
  pad->add_option("--hat", gamepad->hat, "0-7 direction, 8 centred")
      ->check(CLI::Range(0, 8))
      ->default_str(number(gamepad->hat));
  pad->add_option("--lx", gamepad->leftX, "left stick x, 0-255, 128 centre")
      ->default_str(number(gamepad->leftX));
  pad->add_option("--ly", gamepad->leftY, "left stick y")->default_str(number(gamepad->leftY));
  pad->add_option("--rx", gamepad->rightX, "right stick x")->default_str(number(gamepad->rightX));
  pad->add_option("--ry", gamepad->rightY, "right stick y")->default_str(number(gamepad->rightY));
  pad->add_option("--lt", gamepad->leftTrigger, "left trigger, 0-255")
      ->default_str(number(gamepad->leftTrigger));
  pad->add_option("--rt", gamepad->rightTrigger, "right trigger")
      ->default_str(number(gamepad->rightTrigger));

  auto look = std::make_shared<inputhelper::VirtualLookPacket>();
  auto* lookCommand = addInputCommand(
      app, *input, context, "look", "one look-stick and gyro sample",
      [look](uint32_t) -> Expected<Datagram, InputError> { return encodeLookDatagram(*look); });
  lookCommand->add_option("--x", look->stickX, "stick x, 0-255, 128 centre")
      ->default_str(number(look->stickX));
  lookCommand->add_option("--y", look->stickY, "stick y")->default_str(number(look->stickY));
  lookCommand->add_option("--gyro-x", look->gyroX, "gyro x")->default_str(number(look->gyroX));
  lookCommand->add_option("--gyro-y", look->gyroY, "gyro y")->default_str(number(look->gyroY));

  struct MouseOptions {
    int x = 0, y = 0;
    bool left = false, right = false, middle = false, relative = false;
    int8_t wheel = 0;
  };
  auto mouse = std::make_shared<MouseOptions>();
  auto* mouseCommand = addInputCommand(
      app, *input, context, "mouse", "one mouse packet: absolute (0-65535) or relative motion",
      [mouse](uint32_t sequence) -> Expected<Datagram, InputError> {
        // Absolute positions span 0-65535 of the picture; relative motion is a signed 16-bit delta
        // carried in the same fields.
        const int low = mouse->relative ? -32768 : 0;
        const int high = mouse->relative ? 32767 : 65535;
        for (int value : {mouse->x, mouse->y}) {
          if (value < low || value > high) {
            return make_unexpected(InputError{"mouse position " + std::to_string(value) +
                                              " is outside " + std::to_string(low) + ".." +
                                              std::to_string(high)});
          }
        }
        const uint8_t flags = (mouse->left ? 1 : 0) | (mouse->right ? 2 : 0) |
                              (mouse->relative ? 4 : 0) | (mouse->middle ? 8 : 0);
        return encodeMouseDatagram({flags, static_cast<uint16_t>(mouse->x),
                                    static_cast<uint16_t>(mouse->y), mouse->wheel, sequence});
      });
  mouseCommand->add_option("--x", mouse->x, "x position, or motion with --relative");
  mouseCommand->add_option("--y", mouse->y, "y position, or motion with --relative");
  mouseCommand->add_flag("--left", mouse->left, "left button down");
  mouseCommand->add_flag("--right", mouse->right, "right button down");
  mouseCommand->add_flag("--middle", mouse->middle, "middle button down");
  mouseCommand->add_flag("--relative", mouse->relative, "relative (HID mouse) motion");
  mouseCommand->add_option("--wheel", mouse->wheel, "wheel steps, -128..127");

  struct KeyOptions {
    uint16_t code = 0;
    bool up = false;
    uint8_t flags = 0;
  };
  auto key = std::make_shared<KeyOptions>();
  auto* keyCommand =
      addInputCommand(app, *input, context, "key", "one key going down (or up with --up)",
                      [key](uint32_t sequence) -> Expected<Datagram, InputError> {
                        // Bit 0 of the flags is "down".
                        const uint8_t flags = key->up ? (key->flags & ~1u) : (key->flags | 1u);
                        return encodeKeyDatagram({flags, key->code, sequence});
                      });
  keyCommand->add_option("--code", key->code, "macOS virtual key code")->required();
  keyCommand->add_flag("--up", key->up, "key up instead of down");
  keyCommand->add_option("--flags", key->flags, "further flag bits")
      ->default_str(number(key->flags));

  auto text = std::make_shared<std::string>();
  auto* textCommand =
      addInputCommand(app, *input, context, "text", "type a text (1 to 256 bytes of UTF-8)",
                      [text](uint32_t sequence) {
                        return encodeTextDatagram({sequence, *text});
                      });
  textCommand->add_option("text", *text, "the text to type")->required();
}

}  // namespace ferrowin::client::cli
