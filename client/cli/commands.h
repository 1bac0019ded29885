#pragma once
// Subcommand groups of ferrowin-client. Each registers its subcommands on the app; the callback it
// installs sets `exitCode`.

#include <CLI/CLI.hpp>

namespace ferrowin::client::cli {

struct CommandContext {
  int exitCode = 0;
};

void registerControlCommands(CLI::App& app, CommandContext& context);
void registerVideoCommands(CLI::App& app, CommandContext& context);

}  // namespace ferrowin::client::cli
