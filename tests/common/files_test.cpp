#include "common/util/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>

#include "tests/support/temp_dir.h"

namespace ferrowin::common {
namespace {

using testing::TempDir;

mode_t permissions(const std::filesystem::path& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return st.st_mode & 07777;
}

TEST(AtomicWrite, TemporariesOfKilledWritersAreRemovedOnceAbandonedAndSecretsGet0600) {
  TempDir dir;
  const auto path = dir / "state.json";
  const auto abandoned = dir / ".state.json.tmp-0a0b0c0d0e0f";
  const auto inProgress = dir / ".state.json.tmp-111111111111";
  const auto otherFiles = dir / ".other.json.tmp-0a0b0c0d0e0f";
  for (const auto& file : {abandoned, inProgress, otherFiles}) {
    ASSERT_TRUE(writeFileAtomically(dir / "scratch", "x"));
    std::filesystem::rename(dir / "scratch", file);
  }
  const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::minutes(5);
  std::filesystem::last_write_time(abandoned, old);
  std::filesystem::last_write_time(otherFiles, old);
  ASSERT_TRUE(writeFileAtomically(path, "new"));
  EXPECT_FALSE(std::filesystem::exists(abandoned));
  EXPECT_TRUE(std::filesystem::exists(inProgress));  // may belong to a writer still at work
  EXPECT_TRUE(std::filesystem::exists(otherFiles));  // another file's: its own writes clean it

  // Secrets get mode 0600 regardless of the umask and of the file's earlier mode.
  const auto key = dir / "key";
  ASSERT_TRUE(writeFileAtomically(key, "public"));
  ASSERT_TRUE(writeFileAtomically(key, "secret", 0600));
  EXPECT_EQ(permissions(key), 0600u);
  ASSERT_TRUE(writeFileAtomically(dir / "plain", "x"));
  EXPECT_EQ(permissions(dir / "plain") & 0077, 0644u & 0077 & ~0022u);
}

TEST(AtomicWrite, FailedRenameLeavesTheOldFileAndNoTemporary) {
  TempDir dir;
  const auto target = dir / "target";
  // A non-empty directory can't be replaced by a file: the rename fails after the data is written.
  std::filesystem::create_directories(target / "occupied");
  auto result = writeFileAtomically(target, "new");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().operation, "rename");
  EXPECT_TRUE(std::filesystem::is_directory(target / "occupied"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

}  // namespace
}  // namespace ferrowin::common
