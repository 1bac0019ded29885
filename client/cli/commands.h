#pragma once
// Subcommand groups of ferrowin-client. Each registers its subcommands on the app; the callback it
// installs sets `exitCode`: 0 done, 1 failed, 2 usage (set by main), 130 interrupted.

#include <CLI/CLI.hpp>
#include <filesystem>
#include <optional>
#include <string>

#include "client/control/client_state.h"
#include "client/control/control_client.h"

namespace ferrowin::client::cli {

struct CommandContext {
  int exitCode = 0;
};

// The shared host lookup of the commands that talk to a host (control_commands.cpp).
struct HostOptions {
  std::string host;
  uint16_t port = kDefaultControlPort;
};
void addHostOptions(CLI::App* command, HostOptions& options, bool required);
/// The global --state-dir, read when a command runs.
std::filesystem::path stateDir(CLI::App& app);
/// --host/--port when given, else the host last paired with; prints why there is none.
std::optional<HostAddress> hostFor(const std::filesystem::path& dir, const HostOptions& options,
                                   CLI::App* command);

/// The error as a person should read it: a refused authentication says how to get it back.
std::string describe(const ControlError& error);

void registerControlCommands(CLI::App& app, CommandContext& context);
void registerVideoCommands(CLI::App& app, CommandContext& context);
void registerInputCommands(CLI::App& app, CommandContext& context);
void registerAppsCommands(CLI::App& app, CommandContext& context);

}  // namespace ferrowin::client::cli
