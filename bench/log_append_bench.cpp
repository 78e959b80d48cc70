// Cost of one general-log record on a small and on a large log, with the
// short append path and with the full read-and-rewrite it replaces; and of one
// write of the metrics file, which the monitor does once a minute when idle.
// All run on a real folder through the standard library, so the figures
// include I/O.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "bench/figure.h"
#include "common/file_system.h"
#include "common/event_loop.h"
#include "monitor/health.h"
#include "monitor/logs.h"

namespace fs = std::filesystem;
using namespace quarn;

namespace {

// Real files under a temporary folder; Windows-style names map to plain names.
class DiskFileSystem final : public FileSystem {
 public:
  explicit DiskFileSystem(fs::path root) : root_(std::move(root)) {}
  fs::path P(const std::string& p) const { return root_ / p.substr(p.find_last_of('\\') + 1); }
  bool FileExists(const std::string& p) override { return fs::is_regular_file(P(p)); }
  bool DirExists(const std::string&) override { return true; }
  void CreateDir(const std::string&) override {}
  std::string ReadAll(const std::string& p) override {
    std::ifstream in(P(p), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  void WriteAll(const std::string& p, std::string_view b) override {
    std::ofstream(P(p), std::ios::binary | std::ios::trunc).write(b.data(), static_cast<std::streamsize>(b.size()));
  }
  void Append(const std::string& p, std::string_view b) override {
    std::ofstream(P(p), std::ios::binary | std::ios::app).write(b.data(), static_cast<std::streamsize>(b.size()));
  }
  void Delete(const std::string& p) override { fs::remove(P(p)); }
  void Rename(const std::string& a, const std::string& b) override { fs::rename(P(a), P(b)); }
  FileStamp Stamp(const std::string& p) override {
    return FileStamp{fs::file_size(P(p)), static_cast<uint64_t>(fs::last_write_time(P(p)).time_since_epoch().count())};
  }
  LocalTime LastModified(const std::string&) override { return {}; }
  std::vector<std::string> ListFiles(const std::string&) override { return {}; }
  void RemoveDir(const std::string&) override {}
  void Flush(const std::string&) override {}
  void DurableRename(const std::string& a, const std::string& b) override { Rename(a, b); }

 private:
  fs::path root_;
};

const std::string kRecord =
    "07/12/2026 05:58:36 - QuarnSQLServiceMonitor - False 16711680    Arquivo baixado com sucesso.";

void Fill(const fs::path& file, size_t bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  for (size_t n = 0; n < bytes; n += kRecord.size() + 2) out << kRecord << "\r\n";
}

double PerRecordMicros(DiskFileSystem& disk, size_t startBytes, int records, bool fullRewrite) {
  const std::string path = "C:\\Logs\\LogGeralMonitor.INI";
  Fill(disk.P(path), startBytes);
  LogAppender appender(disk);
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < records; ++i) {
    if (fullRewrite) {
      disk.WriteAll(path, RewriteWithRecord(disk.ReadAll(path), kRecord));
    } else {
      appender.Append(path, kRecord);
    }
  }
  const auto t1 = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::micro>(t1 - t0).count() / records;
}

class NoHost final : public ServiceHost {
 public:
  bool Install() override { return true; }
  bool Uninstall() override { return true; }
  void StartService() override {}
  void LogEvent(int32_t, int32_t, const std::string&) override {}
};

class StillClock final : public Clock {
 public:
  LocalTime Now() override { return {2026, 12, 7, 5, 58, 36}; }
};

// One whole write: the model read afresh, formatted, written under the
// temporary name and renamed into place.
double MetricsWriteMicros(DiskFileSystem& disk, int writes) {
  Cp1252Codec codec;
  StillClock clock;
  PtBrDateFormat dates;
  VirtualEventLoop loop;
  NoHost host;
  MonitorLogs logs(LogContext{disk, codec, clock, dates, "C:\\Quarn"});
  disk.WriteAll("C:\\Quarn\\Logs\\VersaoQuarnSQLService.ini", "2.0\r\n");
  disk.WriteAll("C:\\Quarn\\Logs\\QuarnSQLServiceExecuting.ini", "07/12/2026 05:58:06\r\n");
  MonitorHealth health(HealthPorts{disk, codec, clock, dates, loop, host, logs, [] { return int64_t{1796702316}; },
                                   [] { return std::string(); }},
                       "C:\\Quarn", "1.0.0.134");
  health.Start();
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < writes; ++i) health.WriteMetrics();
  const auto t1 = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::micro>(t1 - t0).count() / writes;
}

}  // namespace

int main() {
  const fs::path dir = fs::temp_directory_path() / ("quarn-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  DiskFileSystem disk(dir);
  const int kRecords = 10000;
  const double small = PerRecordMicros(disk, 50 * 1000, kRecords, false);
  const double large = PerRecordMicros(disk, 5 * 1000 * 1000, kRecords, false);
  const double smallFull = PerRecordMicros(disk, 50 * 1000, 200, true);
  const double largeFull = PerRecordMicros(disk, 5 * 1000 * 1000, 20, true);
  const double metrics = MetricsWriteMicros(disk, 2000);
  fs::remove_all(dir);

  std::printf("general log append, %d records per size\n", kRecords);
  std::printf("%-22s %12s %12s %8s\n", "algorithm", "50 KB (us)", "5 MB (us)", "ratio");
  std::printf("%-22s %12.2f %12.2f %8.2f\n", "append (ours)", small, large, large / small);
  std::printf("%-22s %12.2f %12.2f %8.2f\n", "full rewrite (orig.)", smallFull, largeFull, largeFull / smallFull);
  bench::Figure("log append per record, 50 KB file", bench::Fmt("%.2f us", small),
                bench::Fmt("full rewrite: %.0f us", smallFull), "");
  bench::Figure("log append per record, 5 MB file", bench::Fmt("%.2f us", large),
                bench::Fmt("full rewrite: %.0f us", largeFull), "");
  bench::Figure("log append cost ratio, 5 MB / 50 KB", bench::Fmt("%.2f", large / small),
                bench::Fmt("full rewrite: %.1f", largeFull / smallFull), "< 2");
  // Idle, the file is written once a minute: its share of one core.
  bench::Figure("metrics file write (read, format, temporary name, rename)", bench::Fmt("%.1f us", metrics), "", "");
  bench::Figure("monitor CPU added by the metrics file, idle (one write a minute)",
                bench::Fmt("%.5f %%", 100.0 * metrics / 60e6), "", "< 0.01 %");
  return large / small < 2.0 ? 0 : 1;
}
