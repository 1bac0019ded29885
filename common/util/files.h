#pragma once
// Files on disk: whole-file reads and atomic whole-file writes.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/util/expected.h"

namespace ferrowin::common {

struct FileError {
  enum class Code { notFound, io };
  Code code = Code::io;
  std::string path;
  std::string operation;  // "open", "write", "fsync", "rename", ...
  int systemError = 0;    // errno
  std::string description() const;
};

Expected<std::string, FileError> readFile(const std::filesystem::path& path);

/// Replaces `path` with `contents` atomically: a temporary file in the same directory is written,
/// flushed to disk and renamed over the target, so a reader (or a crash) sees either the old file
/// or the new one, never a mix. Missing directories are created. With `mode`, the file gets exactly
/// those permission bits (0600 for secrets) before any byte is written.
Expected<void, FileError> writeFileAtomically(const std::filesystem::path& path,
                                              std::string_view contents,
                                              std::optional<mode_t> mode = std::nullopt);

}  // namespace ferrowin::common
