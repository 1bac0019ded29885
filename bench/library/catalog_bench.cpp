// A whole scan (desktop entries through GIO, Steam manifests, sorting) of a generated computer,
// beside the floor of walking the same folders and reading every file, in the same run.

#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>

#include "common/util/files.h"
#include "platform/applications.h"
#include "server/library/discovery.h"
#include "tests/library/catalog_tree.h"

namespace {

using namespace ferrowin;
namespace fs = std::filesystem;

// `entries` desktop entries spread over the three data folders and a Steam library of a tenth
// as many games.
testing::CatalogTree& computer(int entries) {
  static std::map<int, std::unique_ptr<testing::CatalogTree>> trees;
  auto& tree = trees[entries];
  if (tree) return *tree;
  tree = std::make_unique<testing::CatalogTree>();
  const fs::path dirs[] = {tree->dataHome(), tree->systemData(), tree->flatpakExports()};
  for (int i = 0; i < entries; ++i)
    testing::CatalogTree::addEntry(
        dirs[i % 3], "app" + std::to_string(i) + ".desktop",
        testing::CatalogTree::entry("Application " + std::to_string(i),
                                    "Name[de]=Anwendung\nComment=Something to do\n"
                                    "Categories=Utility;\nIcon=app\nKeywords=a;b;c;\n"));
  std::vector<testing::CatalogTree::Manifest> games;
  for (int i = 0; i < entries / 10; ++i)
    games.push_back(
        {std::to_string(1000 + i), "Game " + std::to_string(i), "game" + std::to_string(i)});
  testing::CatalogTree::addSteamLibrary(tree->home() / ".local/share/Steam", games);
  return *tree;
}

void BM_Scan(benchmark::State& state) {
  auto& tree = computer(static_cast<int>(state.range(0)));
  auto platform = platform::makeApplicationPlatform();
  std::atomic<bool> cancelled{false};
  for (auto _ : state)
    benchmark::DoNotOptimize(library::scanApplications(*platform, tree.environment(), cancelled));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The floor: the same folders walked and every file read whole.
void BM_ReadFilesBaseline(benchmark::State& state) {
  auto& tree = computer(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    size_t bytes = 0;
    for (const auto& dir : {tree.dataHome(), tree.systemData(), tree.flatpakExports(),
                            tree.home() / ".local/share/Steam/steamapps"})
      for (const auto& item : fs::recursive_directory_iterator(dir))
        if (item.is_regular_file()) bytes += common::readFile(item.path())->size();
    benchmark::DoNotOptimize(bytes);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_Scan)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadFilesBaseline)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
