#include "bench/win/host_proc.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <functional>

#include "common/win32/handles.h"
#include "common/win32/win_platform.h"
#include "tests/win/win_test_util.h"

namespace quarn::bench {

namespace {

// Calls `f` with the /proc folder (as a Windows path) of each process of the
// program in this Wine session: other sessions on the machine may run the same
// program at the same time.
void ForEachHostProcess(const char* program, const std::function<bool(const std::string&)>& f) {
  const std::string prefix = wintest::Env("WINEPREFIX");
  const std::string ours = "WINEPREFIX=" + prefix + std::string(1, '\0');
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA("Z:\\proc\\*", &fd);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    if (fd.cFileName[0] < '0' || fd.cFileName[0] > '9') continue;
    const std::string dir = std::string("Z:\\proc\\") + fd.cFileName;
    const std::string cmd = wintest::ReadFileBytes(win::Widen(dir + "\\cmdline"));
    if (cmd.find(program) == std::string::npos) continue;
    if (!prefix.empty() && wintest::ReadFileBytes(win::Widen(dir + "\\environ")).find(ours) == std::string::npos)
      continue;
    if (!f(dir)) break;
  } while (FindNextFileA(h, &fd));
  FindClose(h);
}

}  // namespace

size_t WorkingSet(DWORD pid) {
  win::UniqueKernel p(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
  PROCESS_MEMORY_COUNTERS pmc{};
  pmc.cb = sizeof pmc;
  return p && GetProcessMemoryInfo(p.get(), &pmc, sizeof pmc) ? pmc.WorkingSetSize : 0;
}

double HostCpuSeconds(const char* program) {
  if (GetFileAttributesA("Z:\\proc\\self") == INVALID_FILE_ATTRIBUTES) return -1;
  double ticks = 0;
  ForEachHostProcess(program, [&](const std::string& dir) {
    const std::string stat = wintest::ReadFileBytes(win::Widen(dir + "\\stat"));
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return true;
    // Fields after the command: state is field 3; utime and stime are 14 and 15.
    unsigned long long utime = 0, stime = 0;
    // NOLINTNEXTLINE(cert-err34-c): the kernel's own format; a short read counts nothing.
    if (std::sscanf(stat.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                    &stime) == 2)
      ticks += static_cast<double>(utime + stime);
    return true;
  });
  return ticks / 100.0;  // USER_HZ
}

}  // namespace quarn::bench
