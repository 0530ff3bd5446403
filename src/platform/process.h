// Process queries through /proc: parents, executable paths, liveness.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace zelk::platform {

// The parent process id of pid, from /proc/<pid>/stat; nullopt when it can't be read.
std::optional<pid_t> parentProcess(pid_t pid);
// The executable path of pid (at most maxBytes bytes), from /proc/<pid>/exe.
std::optional<std::string> executablePath(pid_t pid, size_t maxBytes = 4096);
// This process's own executable, resolved.
std::optional<std::string> selfExecutable();
// Whether a process with this id exists (a signal-0 probe; EPERM counts as alive).
bool processExists(pid_t pid);
// Physical memory in bytes.
unsigned long long physicalMemory();

}  // namespace zelk::platform
