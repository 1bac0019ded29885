// ferrowin-client: the reference client. Pairs with a host, reads its control API, receives and
// decodes the stream, and sends input.

#include <cstdio>

#include "client/cli/commands.h"

using namespace ferrowin::client::cli;

int main(int argc, char** argv) {
  CLI::App app{"Ferrowin reference client", "ferrowin-client"};
  app.set_version_flag("--version", std::string("ferrowin-client ") + FERROWIN_VERSION);
  app.require_subcommand(1);
  CommandContext context;
  // Subcommand groups register here.
  registerControlCommands(app, context);
  registerVideoCommands(app, context);
  registerInputCommands(app, context);
  registerAppsCommands(app, context);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // --help and --version exit 0; every usage error exits 2, the convention.
    return app.exit(error) == 0 ? 0 : 2;
  }
  return context.exitCode;
}
