#pragma once
// Starts a program for a system test: standard input from /dev/null, standard output and error
// appended to a log file, the test's environment with some variables added or replaced.

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace ferrowin::testing {

/// The child's pid, or -1 when it could not be started.
pid_t spawnLogged(std::vector<std::string> args, const std::vector<std::string>& environment,
                  const std::string& logPath);

/// Whether `program` is on PATH.
bool onPath(const std::string& program);

/// SIGTERM, then SIGKILL after two seconds; reaps the child. Does nothing for -1.
void endChild(pid_t& pid);

/// Asks `done` every 50 ms until it answers true (true) or `timeoutSeconds` have passed (its last
/// answer): a started program's socket or bus name appearing.
bool waitUntil(double timeoutSeconds, const std::function<bool()>& done);

}  // namespace ferrowin::testing
