#pragma once
// The file and folder names the programs of the suite share. Each name is
// written here once: the monitor, the backup service, the GUI monitor, the
// installer, the benchmarks and the tests all read the same text, so a rename
// is one edit. The names are plain ASCII; programs that speak UTF-16 widen
// them as they are.

// Program stems: a program's file, its service and its update archive are
// named after them, so they are joined into the names below at compile time.
#define QUARN_BACKUP_SERVICE_STEM "QuarnSQLService"
#define QUARN_MONITOR_SERVICE_STEM "QuarnSQLServiceMonitor"
#define QUARN_GUI_MONITOR_STEM "QuarnSQLMonitor"
#define QUARN_INSTALLER_STEM "InstaladorQuarnSQL"
#define QUARN_LOADER_STEM "LoadWinSolvane"

#include <string>
#include <string_view>

namespace quarn {

// Folders under the suite folder.
inline constexpr char kLogsFolder[] = "Logs";
inline constexpr char kTempFolder[] = "temp";

// "<folder>\Logs\" and "<folder>\temp\": the programs join file names to these.
inline std::string SubfolderOf(std::string_view folder, std::string_view sub) {
  std::string out(folder);
  if (out.empty() || out.back() != '\\') out.push_back('\\');
  return out.append(sub).append("\\");
}
inline std::string LogsFolderOf(std::string_view folder) { return SubfolderOf(folder, kLogsFolder); }
inline std::string TempFolderOf(std::string_view folder) { return SubfolderOf(folder, kTempFolder); }

// Programs (and the services two of them run as).
inline constexpr char kBackupServiceName[] = QUARN_BACKUP_SERVICE_STEM;
inline constexpr char kBackupServiceFile[] = QUARN_BACKUP_SERVICE_STEM ".exe";
inline constexpr char kMonitorServiceName[] = QUARN_MONITOR_SERVICE_STEM;
inline constexpr char kMonitorServiceFile[] = QUARN_MONITOR_SERVICE_STEM ".exe";
inline constexpr char kGuiMonitorName[] = QUARN_GUI_MONITOR_STEM;
inline constexpr char kGuiMonitorFile[] = QUARN_GUI_MONITOR_STEM ".exe";
inline constexpr char kInstallerFile[] = QUARN_INSTALLER_STEM ".exe";
inline constexpr char kLoaderFile[] = QUARN_LOADER_STEM ".exe";

// Run-state markers in Logs: in-use markers and heartbeats.
inline constexpr char kMonitorEmUsoFile[] = QUARN_MONITOR_SERVICE_STEM "EmUso.ti";
inline constexpr char kServiceEmUsoFile[] = QUARN_BACKUP_SERVICE_STEM "EmUso.ti";
inline constexpr char kMonitorExecutingFile[] = QUARN_MONITOR_SERVICE_STEM "Executing.ini";
inline constexpr char kServiceExecutingFile[] = QUARN_BACKUP_SERVICE_STEM "Executing.ini";
inline constexpr char kServiceUltimoBackupFile[] = QUARN_BACKUP_SERVICE_STEM "UltimoBackup.ini";

// The monitor's logs: the formatted log and the general log in Logs, the
// error log in the suite folder itself.
inline constexpr char kFormattedLogName[] = "FormataRichTextBoxServiceMonitor.INI";
inline constexpr char kGeneralLogName[] = "LogGeralMonitor.INI";
inline constexpr char kGeneralLogOldName[] = "LogGeralMonitor.1.INI";
inline constexpr char kErrorLogName[] = "ErrorQuarn.ini";

// Version records in Logs, and the server's archives of the two updated ones.
inline constexpr char kVersaoFile[] = "VersaoQuarnSQLServiceMonitor.ini";
inline constexpr char kVersaoCompletaFile[] = "VersaoCompletaServiceMonitor.ini";
inline constexpr char kServiceVersionRecord[] = "VersaoQuarnSQLService.ini";
inline constexpr char kServiceVersionArchive[] = "VersaoQuarnSQLService.zip";
inline constexpr char kGuiVersionRecord[] = "VersaoQuarnSqlMonitor.ini";
inline constexpr char kGuiVersionArchive[] = "VersaoQuarnSqlMonitor.zip";

}  // namespace quarn
