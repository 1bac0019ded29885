#include "common/util/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <system_error>

#include "common/util/random.h"

namespace ferrowin::common {

std::string FileError::description() const {
  std::string text = operation + " " + path;
  if (systemError != 0) text += ": " + std::string(std::strerror(systemError));
  return text;
}

namespace {

FileError errorFrom(const std::filesystem::path& path, const char* operation, int error) {
  return FileError{error == ENOENT ? FileError::Code::notFound : FileError::Code::io, path.string(),
                   operation, error};
}

mode_t currentUmask() {
  // umask can only be read by setting it; the process is single-minded about it at start-up.
  static const mode_t value = [] {
    const mode_t old = ::umask(022);
    ::umask(old);
    return old;
  }();
  return value;
}

// A writer killed between creating its temporary and the rename leaves the temporary behind. A
// write takes milliseconds, so one a minute old belongs to no live writer; newer ones may.
void removeAbandonedTemporaries(const std::filesystem::path& directory, const std::string& prefix) {
  constexpr auto kAbandonedAfter = std::chrono::minutes(1);
  std::error_code ec;
  const auto now = std::filesystem::file_time_type::clock::now();
  for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
    if (entry.path().filename().string().rfind(prefix, 0) != 0) continue;
    const auto modified = entry.last_write_time(ec);
    if (!ec && now - modified > kAbandonedAfter) std::filesystem::remove(entry.path(), ec);
  }
}

}  // namespace

Expected<std::string, FileError> readFile(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return make_unexpected(errorFrom(path, "open", errno));
  std::string contents;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      return make_unexpected(errorFrom(path, "read", error));
    }
    if (n == 0) break;
    contents.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return contents;
}

Expected<void, FileError> writeFileAtomically(const std::filesystem::path& path,
                                              std::string_view contents,
                                              std::optional<mode_t> mode) {
  const auto directory = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) return make_unexpected(errorFrom(directory, "create directory", ec.value()));

  const auto suffix = secureRandomBytes(6);
  char tag[16];
  std::snprintf(tag, sizeof tag, "%02x%02x%02x%02x%02x%02x", suffix[0], suffix[1], suffix[2],
                suffix[3], suffix[4], suffix[5]);
  const auto temporary = directory / ("." + path.filename().string() + ".tmp-" + tag);

  // Created 0600 so a secret is never readable by others, even for a moment.
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return make_unexpected(errorFrom(temporary, "create", errno));
  auto fail = [&](const char* operation) {
    const int error = errno;
    ::close(fd);
    ::unlink(temporary.c_str());
    return make_unexpected(errorFrom(temporary, operation, error));
  };

  if (::fchmod(fd, mode.value_or(0644 & ~currentUmask())) != 0) return fail("chmod");
  const char* data = contents.data();
  size_t remaining = contents.size();
  while (remaining > 0) {
    const ssize_t n = ::write(fd, data, remaining);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("write");
    }
    data += n;
    remaining -= static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) return fail("fsync");
  if (::rename(temporary.c_str(), path.c_str()) != 0) return fail("rename");
  ::close(fd);

  // Make the rename itself durable.
  const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  removeAbandonedTemporaries(directory, "." + path.filename().string() + ".tmp-");
  return {};
}

}  // namespace ferrowin::common
