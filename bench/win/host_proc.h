#pragma once
// What the host's /proc (drive Z: is the host's root) says about the Wine
// processes of a program: Wine reports no CPU times of other processes.
#include <windows.h>

#include <cstddef>
#include <string>

namespace quarn::bench {

// The working set Windows reports for a process, or 0 where Wine does not say.
size_t WorkingSet(DWORD pid);

// User + system CPU seconds of every host process whose command line names
// the program, or -1 when /proc cannot be read.
double HostCpuSeconds(const char* program);

}  // namespace quarn::bench
