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

// The suite's key under HKLM: the update settings, the publications installed
// and the controls registered live below it.
#define QUARN_SUITE_KEY "SOFTWARE\\Solvane\\Quarn SQL"

#include <string>
#include <string_view>

namespace quarn {

// The suite folder is <drive>:\<kMakerFolder>\<kSuiteFolderName>; the
// installer and the MSI package put the loading animation in its "Temp".
inline constexpr char kMakerFolder[] = "Solvane";
inline constexpr char kSuiteFolderName[] = "Quarn SQL";
inline constexpr char kInstallerTempFolder[] = "Temp";

// Windows file names compare without regard to ASCII letter case.
inline bool SameFileName(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

// "<drive>:\Solvane\Quarn SQL", a trailing "\" allowed, in any letter case:
// the only folder the suite is ever installed in.
inline bool IsSuiteFolderPath(std::string_view path) {
  if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  const char drive = path.empty() ? '\0' : static_cast<char>(path[0] | 0x20);
  return drive >= 'a' && drive <= 'z' && path.size() > 2 && path[1] == ':' &&
         SameFileName(path.substr(2), std::string("\\") + kMakerFolder + "\\" + kSuiteFolderName);
}

// The registry: the suite's key and the keys below it (UTF-16 for the Win32 calls).
inline constexpr char kSuiteKey[] = QUARN_SUITE_KEY;
inline constexpr wchar_t kSuiteKeyW[] = L"" QUARN_SUITE_KEY;
inline constexpr char kControlesKey[] = QUARN_SUITE_KEY "\\Controles";
inline constexpr wchar_t kControlesKeyW[] = L"" QUARN_SUITE_KEY "\\Controles";
inline constexpr wchar_t kPublicationsKeyW[] = L"" QUARN_SUITE_KEY "\\Publicacoes";

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

// What the installer carries. These it writes into the suite folder, in this
// order, under these names (the MSI package installs the same); the build's
// resource script, its payload list and the package's source are checked
// against them by the native tests.
inline constexpr const char* kSuiteFiles[] = {
    QUARN_GUI_MONITOR_STEM ".EXE",
    QUARN_BACKUP_SERVICE_STEM ".EXE",
    QUARN_MONITOR_SERVICE_STEM ".EXE",
    "NTsvc.ocx",
    "MSCOMCTL.ocx",
    "Comdlg32.ocx",
    "MSINET.ocx",
    "richtx32.ocx",
    "AZIP32.DLL",
    "AUNZIP32.DLL",
};
// Carried besides, never written there: the loading animation (into Temp) and the MySQL tools.
inline constexpr const char* kCarriedOnlyFiles[] = {QUARN_LOADER_STEM ".EXE", "MYSQL.EXE", "MYSQLDUMP.EXE"};
// The controls among the suite's files, in the order they are registered.
inline constexpr const char* kControlFiles[] = {"richtx32.ocx", "NTsvc.ocx", "Comdlg32.ocx", "MSCOMCTL.ocx",
                                                "MSINET.ocx"};

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
inline constexpr char kFormattedLogOldName[] = "FormataRichTextBoxServiceMonitor.1.INI";
inline constexpr char kErrorLogOldName[] = "ErrorQuarn.1.ini";

// Version records in Logs, and the server's archives of the two updated ones.
inline constexpr char kVersaoFile[] = "VersaoQuarnSQLServiceMonitor.ini";
inline constexpr char kVersaoCompletaFile[] = "VersaoCompletaServiceMonitor.ini";
inline constexpr char kServiceVersionRecord[] = "VersaoQuarnSQLService.ini";
inline constexpr char kServiceVersionArchive[] = "VersaoQuarnSQLService.zip";
inline constexpr char kGuiVersionRecord[] = "VersaoQuarnSqlMonitor.ini";
inline constexpr char kGuiVersionArchive[] = "VersaoQuarnSqlMonitor.zip";

// A build of program (its stem) carries its own program file and companions
// of its own; never a file another program of the suite ships, runs or writes
// beside it (the extraction library, the controls, the services' programs, the
// monitor's error log): one build could otherwise replace another's files.
inline bool IsAnotherProgramsFile(std::string_view program, std::string_view name) {
  // A short-name alias ("AUNZIP~1.DLL") may stand for any file of the folder.
  if (name.find('~') != std::string_view::npos) return true;
  const std::string own = std::string(program) + ".exe";
  if (SameFileName(name, own)) return false;
  for (const char* f : kSuiteFiles)
    if (SameFileName(name, f)) return true;
  for (const char* f : {kInstallerFile, kLoaderFile, kErrorLogName, kErrorLogOldName})
    if (SameFileName(name, f)) return true;
  return false;
}

}  // namespace quarn
