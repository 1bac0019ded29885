#include "server/app/paired_clients_command.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/util/files.h"
#include "server/control/authenticated_peers.h"

namespace ferrowin::app {

DataFolderLock::~DataFolderLock() { ::close(fd_); }

std::pair<DataFolderLock::Result, std::unique_ptr<DataFolderLock>> DataFolderLock::acquire(
    const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  const int fd = ::open((folder / "host.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return {Result::unavailable, nullptr};
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool busy = errno == EWOULDBLOCK;
    ::close(fd);
    return {busy ? Result::busy : Result::unavailable, nullptr};
  }
  return {Result::held, std::unique_ptr<DataFolderLock>(new DataFolderLock(fd))};
}

int runPairedClientsCommand(const HostOptions::Clients& command,
                            const std::filesystem::path& folder, std::FILE* out, std::FILE* err) {
  const auto file = folder / "paired-clients.json";
  auto fail = [&](const std::string& message) {
    std::fprintf(err, "ferrowin-server: %s\n", message.c_str());
    return 1;
  };
  // Held for the whole command, so no host starts and writes the file meanwhile.
  auto [locked, lock] = DataFolderLock::acquire(folder);
  if (command.forget && locked == DataFolderLock::Result::busy)
    return fail("a host is running with " + folder.string() +
                "; stop it first (it would write the client back)");

  std::vector<control::PairedClientEntry> entries;
  auto contents = common::readFile(file);
  if (!contents && contents.error().code != common::FileError::Code::notFound)
    return fail(contents.error().description());
  if (contents) {
    auto decoded = control::decodePairedClients(*contents);
    if (!decoded) return fail(file.string() + " is not a paired-clients file: " + decoded.error());
    entries = std::move(*decoded);
  }

  if (!command.forget) {
    if (entries.empty()) std::fprintf(out, "No paired clients in %s\n", file.c_str());
    for (const auto& entry : entries)
      std::fprintf(out, "%s  counter %u\n", entry.keyId.c_str(), entry.counter);
    return 0;
  }
  const auto removed = std::erase_if(
      entries, [&](const control::PairedClientEntry& e) { return e.keyId == command.keyId; });
  if (removed == 0) return fail("no paired client " + command.keyId + " in " + file.string());
  if (auto written = common::writeFileAtomically(file, control::encodePairedClients(entries), 0600);
      !written)
    return fail(written.error().description());
  std::fprintf(out, "Forgot %s; it must pair again\n", command.keyId.c_str());
  return 0;
}

}  // namespace ferrowin::app
