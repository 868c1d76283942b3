#pragma once
// Crash reports that stay on the machine: when reporting is on, a fatal signal (SIGSEGV, SIGBUS,
// SIGILL, SIGFPE, SIGABRT) writes the signal and a stack trace to "crash-<pid>.log" in the given
// folder, then lets the signal end the process as it would have. Nothing is uploaded.

#include <filesystem>

namespace kestrom::crash {

/// Installs the handlers; once per process (a second call only changes the folder).
void start(const std::filesystem::path& folder);

}  // namespace kestrom::crash
