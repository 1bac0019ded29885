// The host's application catalog: list, launch, hide, forget a recent one, fetch an icon.
//
//   ferrowin-client apps [--refresh] [--json]
//   ferrowin-client apps launch ID | hide ID | recent-remove ID | icon ID --out FILE

#include <cstdio>
#include <memory>
#include <string>

#include "client/cli/commands.h"
#include "client/control/control_client.h"
#include "common/util/files.h"
#include "common/util/json.h"

namespace ferrowin::client::cli {

namespace {

struct AppsOptions {
  HostOptions host;
  bool refresh = false;
  bool json = false;
  std::string id;
  std::string out;
};

int fail(const std::string& message) {
  std::fprintf(stderr, "ferrowin-client: %s\n", message.c_str());
  return 1;
}

// The lists as a table (group, title, id; then the recent ids) or as the host's JSON shape.
int printList(const Expected<AppList, ControlError>& list, bool json) {
  if (!list) return fail(describe(list.error()));
  if (json) {
    common::Json apps = common::Json::array();
    for (const auto& app : list->apps)
      apps.push_back({{"id", app.id}, {"title", app.title}, {"group", app.group}});
    std::printf("%s\n", common::encodeJson({{"apps", apps}, {"recent", list->recent}}).c_str());
    return 0;
  }
  size_t titleWidth = 5;
  for (const auto& app : list->apps) titleWidth = std::max(titleWidth, app.title.size());
  std::printf("%-6s  %-*s  %s\n", "GROUP", static_cast<int>(titleWidth), "TITLE", "ID");
  for (const auto& app : list->apps)
    std::printf("%-6s  %-*s  %s\n", app.group.c_str(), static_cast<int>(titleWidth),
                app.title.c_str(), app.id.c_str());
  std::printf("\nrecent:%s\n", list->recent.empty() ? " none" : "");
  for (const auto& id : list->recent) std::printf("  %s\n", id.c_str());
  return 0;
}

}  // namespace

void registerAppsCommands(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<AppsOptions>();
  auto* apps = app.add_subcommand("apps", "list the host's applications and games");
  addHostOptions(apps, options->host, /*required=*/false);
  apps->add_flag("--refresh", options->refresh, "make the host scan its applications again");
  apps->add_flag("--json", options->json, "print the lists as JSON");
  apps->require_subcommand(0, 1);

  auto withId = [&](const char* name, const char* description) {
    auto* command = apps->add_subcommand(name, description);
    command->add_option("ID", options->id, "the application's id (as listed)")->required();
    command->fallthrough();
    return command;
  };
  auto* launch = withId("launch", "start an application");
  auto* hide = withId("hide", "hide an application from the list");
  auto* recentRemove = withId("recent-remove", "remove an application from the recent list");
  auto* icon = withId("icon", "save an application's 256 x 256 PNG icon");
  icon->add_option("--out", options->out, "the PNG file to write")->required();

  apps->callback([&app, &context, options, apps, launch, hide, recentRemove, icon] {
    const auto dir = stateDir(app);
    auto host = hostFor(dir, options->host, apps);
    if (!host) {
      context.exitCode = 1;
      return;
    }
    ControlClient client(*host, dir);
    if (launch->parsed()) {
      auto launched = client.launchApp(options->id);
      if (!launched) {
        context.exitCode = fail(describe(launched.error()));
        return;
      }
      std::printf("Launched %s\n", launched->c_str());
    } else if (hide->parsed()) {
      context.exitCode = printList(client.hideApp(options->id), options->json);
    } else if (recentRemove->parsed()) {
      context.exitCode = printList(client.removeRecentApp(options->id), options->json);
    } else if (icon->parsed()) {
      auto png = client.appIcon(options->id);
      if (!png) {
        context.exitCode = fail(describe(png.error()));
        return;
      }
      if (auto written = common::writeFileAtomically(options->out, *png); !written) {
        context.exitCode = fail(written.error().description());
        return;
      }
      std::printf("Wrote %s (%zu bytes)\n", options->out.c_str(), png->size());
    } else {
      context.exitCode = printList(client.apps(options->refresh), options->json);
    }
  });
  apps->fallthrough();
}

}  // namespace ferrowin::client::cli
