#pragma once
// frmInstal: the installer's window, its start-up and the whole installation.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/ansi_text.h"
#include "common/errors.h"
#include "common/event_loop.h"
#include "common/file_system.h"
#include "common/process_control.h"
#include "common/service_control.h"
#include "common/suite_files.h"
#include "common/time_text.h"
#include "common/update_lock.h"
#include "installer/status_panel.h"
#include "common/trust.h"
#include "installer/version.h"

namespace quarn {

inline constexpr char kInstallerTitle[] = "Instalador Quarn SQL";
inline constexpr char kLoaderTitle[] = "LoadWinSolvane";

enum class StepLook { Waiting, Current, Done, Failed };

// The window as the installation sees it.
class InstallerView {
 public:
  virtual ~InstallerView() = default;
  virtual void SetVersionLine(const std::string& text) = 0;  // lblVersao1 and lblVersao2
  virtual void SetStep(int index, const std::string& caption, StepLook look) = 0;
  virtual void ShowWindow() = 0;
  virtual void ShowSuccessPanel() = 0;  // progress panel hidden, success panel in front
  virtual void CloseWindow() = 0;       // ends the installer
  virtual void ShowLoadHost(bool visible) = 0;
  // Finds a top-level window by title and hosts it in gifLoadWin; false when none.
  virtual bool AdoptWindow(const std::string& title) = 0;
  virtual void MessageBoxOk(const std::string& text) = 0;  // titled "Instalador Quarn SQL"
  // Failure panel in place of the success panel: a title and one line for each thing that failed.
  virtual void ShowFailurePanel(const std::vector<std::string>& failures) = 0;
  // A line for a record of the run; only a silent run keeps one.
  virtual void Note(const std::string&) {}
};

class PayloadResources {
 public:
  virtual ~PayloadResources() = default;
  // The bytes of a "CUSTOM" resource of the installer's own file; raises when missing.
  virtual std::string Read(const std::string& name) = 0;
};

struct UninstallEntry;

// A program file held open against any change (write, replace, delete) for as long as it lives.
class FileHold {
 public:
  virtual ~FileHold() = default;
};

class InstallerPlatform {
 public:
  virtual ~InstallerPlatform() = default;
  virtual bool PrevInstance() = 0;
  virtual void EndProgram() = 0;  // at once; nothing the installer started is stopped
  // Starts a program with no arguments and its window hidden, without waiting; raises on failure.
  virtual void StartHidden(const std::string& path) = 0;
  // As StartHidden, but only when the file holds exactly these bytes, and with
  // the file held against any change from that check until the program runs;
  // false (nothing started) when it holds anything else.
  virtual bool StartWritten(const std::string& path, const std::string& bytes) = 0;
  // False only when the volume holding the folder says it keeps no file
  // permissions (FAT, exFAT); a volume that cannot be asked counts as keeping them.
  virtual bool KeepsPermissions(const std::string& folder) = 0;
  // Owner Administrators; SYSTEM and Administrators full control, Users read and
  // execute, inherited by everything created below, nothing inherited from above.
  // With `tree` every file and folder already below is reset the same way and
  // every link below removed, never followed; returns the links removed.
  // Without, what lies below keeps what it inherited. Raises when it cannot be done.
  virtual std::vector<std::string> ProtectFolder(const std::string& folder, bool tree) = 0;
  // What lies where a suite folder goes, its owner included.
  virtual FolderFacts InspectFolder(const std::string& path) = 0;
  // Renames a folder (or the link or file in its place); raises when it cannot.
  virtual void MoveAside(const std::string& path, const std::string& aside) = 0;
  // The names of the files, folders and links directly in a folder.
  virtual std::vector<std::string> Entries(const std::string& folder) = 0;
  // SYSTEM and Administrators alone, nobody else even reading, on the folder
  // and all in it (links below removed, never followed); raises when it cannot.
  virtual void CloseToAdministrators(const std::string& folder) = 0;
  // The SID of the administrator running this ("" when not one): what it made is trusted.
  virtual std::string InstallingAccount() = 0;
  // Owned by a trusted owner and nobody else allowed to change it, as the installer leaves it.
  virtual bool ProtectedAsLeft(const std::string& path) = 0;
  // The file held against any change while the hold lives, when it holds exactly
  // these bytes; null (nothing held) when it holds anything else or is missing.
  virtual std::unique_ptr<FileHold> HoldUnchanged(const std::string& path, const std::string& bytes) = 0;
  // Read, write and delete on the folder and all in it for a service's account; raises when it cannot.
  virtual void GrantModify(const std::string& folder, const std::string& account) = 0;
  // For the backup service's account: list the folder and create files there,
  // and read, write and delete on its own files (those given, and what it
  // creates); never delete on what others wrote. Raises when it cannot.
  virtual void GrantOwnFiles(const std::string& folder, const std::string& account,
                             const std::vector<std::string>& files) = 0;
  // HKLM\<key>, created when missing: SYSTEM and Administrators full control,
  // Users read, protected, handed down to its subkeys. Raises when it cannot be done.
  virtual void ProtectKey(const std::string& key) = 0;
  // The InstallLocation of the suite's entry in the list of installed programs; "" when there is none.
  virtual std::string RegisteredLocation() = 0;
  // A file's raw SHA-256 (a pending update's backup copy, checked before it goes back); raises when it cannot.
  virtual std::string Sha256(const std::string& path) = 0;
  // The InstallLocation of the suite's Windows Installer package in that list; "" when there is none.
  virtual std::string PackageLocation() = 0;
  virtual bool VerificaSeWindowsNT() = 0;
  // clssRegServer.fVBRegServer
  virtual bool fVBRegServer(const std::string& path, bool blnRegister) = 0;
  // The suite's update lock, which the monitor holds while it updates or puts an update right.
  virtual UpdateLock& SuiteUpdateLock() {
    static NoUpdateLock none;
    return none;
  }
  // The suite's entry in Windows' list of installed programs; false when it could not be written.
  virtual bool RegistraDesinstalacao(const UninstallEntry& entry) = 0;
  // Points the monitor's event source (kEventSourceKey) at its program file,
  // whose message table holds the entries' texts; false when it could not be written.
  virtual bool RegistraFonteEventos(const std::string& /*monitorFile*/) { return true; }
  // Deletes a key under HKLM with everything below it; true when it is gone (or never was).
  virtual bool RemoveChave(const std::string& key) = 0;
  // Deletes a folder and everything below it, links removed but never followed;
  // true when it is gone (or never was).
  virtual bool RemoveTree(const std::string& folder) = 0;
  // The running program's own file cannot be deleted: it is moved out of the way
  // and deleted at the next restart. True when it no longer lies at `path`.
  virtual bool RemoveSelf(const std::string& path) = 0;
};

// What Windows' list of installed programs shows of the suite, under
// HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\<key>.
struct UninstallEntry {
  std::string key, displayName, displayVersion, publisher, installLocation, displayIcon;
  std::string uninstallString, quietUninstallString;
  uint32_t estimatedSizeKb = 0;
};
inline constexpr char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QuarnSQL";
inline constexpr char kEventSourceKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\QuarnSQLServiceMonitor";
// The copy of the installer kept in the suite folder, which the list of installed programs runs.
inline constexpr char kInstallerCopy[] = QUARN_INSTALLER_STEM ".exe";

// Exit codes: 0 only when everything was done; one code for each kind of failure.
// Where several failed, the code of the first in this order.
enum ExitCode : int {
  kExitOk = 0,
  kExitUnexpected = 1,  // a failure the installer did not foresee (its message was shown)
  kExitBadCommandLine = 2,
  kExitInterrupted = 3,  // Esc before the end
  kExitAnotherCopy = 4,
  kExitNoPermissions = 5,  // a volume without file permissions
  kExitNotNt = 6,
  kExitFilesNotWritten = 10,
  kExitServiceNotRunning = 11,
  kExitMonitorNotRunning = 12,
  kExitGuiNotStarted = 13,
  kExitNotListed = 14,  // no entry in the list of installed programs
  kExitServiceNotRemoved = 20,
  kExitFilesNotRemoved = 21,
  kExitRegistryNotRemoved = 22,
};

// What the end of an installation found.
struct InstallChecks {
  std::vector<std::string> notWritten;  // file names, in the order of writing
  std::vector<std::string> notMoved;    // not the suite's, and in a folder taken over: they could not go
  bool serviceRuns = false, monitorRuns = false, guiStarted = false, listed = false;
};
// "a, b, c": file names as the failure panel and the log name them.
template <class Names>
std::string JoinedNames(const Names& names) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ", ") + std::string(n);
  return out;
}

struct Verdict {
  int exitCode = kExitOk;
  std::vector<std::string> failures;  // one Portuguese line for each, as the failure panel shows them
};
Verdict JulgaInstalacao(const InstallChecks& checks);
inline constexpr char kFailureTitle[] = "O Quarn SQL Server não foi instalado por completo.";

// The command line: switches start with "/" or "-", in any case.
//   /quiet (or /S)   no window, no message box, no pause; a log instead
//   /log <file>      where the log goes (default: given by the caller)
//   /uninstall       removes the suite; /purge also removes Logs\ and what the services wrote
struct CommandLine {
  bool ok = true;
  std::string error;  // Portuguese, when not ok
  bool quiet = false, uninstall = false, purge = false;
  std::string logPath;
};
CommandLine ParseCommandLine(const std::vector<std::string>& args, const std::string& defaultLog);
inline constexpr char kDefaultLogName[] = "InstaladorQuarnSQL.log";

struct InstallerPorts {
  FileSystem& fs;
  Clock& clock;
  DateFormat& dates;
  EventLoop& loop;
  InstallerView& view;
  PayloadResources& resources;
  InstallerPlatform& platform;
  InstallerServiceControl& control;
  FechaExe& fecha;
};

struct InstallerInfo {
  std::string exeFolder;  // folder of the installer's own program file
  std::string exeName;    // its name without extension
  int major = QUARN_INSTALLER_MAJOR, minor = QUARN_INSTALLER_MINOR, revision = QUARN_INSTALLER_REVISION;
  bool quiet = false;  // silent run: no pause, no animation, nothing waits for a person
};

// The payload in the order it is written: resource name and target file name.
struct PayloadFile {
  const char* resource;
  const char* target;
};
extern const PayloadFile kPayload[10];
inline constexpr const auto& kControlsToRegister = kControlFiles;
extern const char* const kStepCaptions[6];
inline constexpr char kRepairCaption[] = "Reparando Serviços do Quarn.";
inline constexpr const char* kLoaderResource = kCarriedOnlyFiles[0];

// Window geometry, in pixels, from the twips of the design.
struct InstallerLayout {
  int windowX, windowY, windowW, windowH;
  int panelX, panelY, panelW, panelH;  // both panels, inside pctFora
};
int Twips(int twips, int dpi);
// The window spans the screen's width, 4500 twips high, centred vertically;
// the panels are centred in its client area.
InstallerLayout LayoutFor(int screenW, int screenH, int dpi, int frameW, int frameH);

class FrmInstal {
 public:
  static constexpr int kPollMs = 50;
  // The waits for the suite to stop are bounded; the installation goes on after them.
  static constexpr uint64_t kStopWaitMs = 30 * 1000;
  // How long the loading program may take to show its window.
  static constexpr uint64_t kLoaderWaitMs = 1500;

  FrmInstal(InstallerPorts ports, InstallerInfo info);

  bool Form_Load();  // false: another copy runs
  // The program's exit code once Form_Load (or Desinstalar) has returned, or the program was ended.
  int ExitCode() const { return exitCode_; }
  void Timer1_Timer();
  void Form_KeyDown(int keyCode);
  void pctFechar_Click() { p_.platform.EndProgram(); }
  void lblFechar_Click() { pctFechar_Click(); }

  void VerificaSeTemService();
  void InstalarQuarn();
  // Removes the suite: services, controls, program files and registrations;
  // Logs\ and what the services wrote stay unless `purge`. Returns the exit code.
  int Desinstalar(bool purge);
  UninstallEntry EntradaDesinstalacao(uint64_t payloadBytes) const;
  // False when the file could not be written (the message box named it).
  bool ExtraiArquivoRecurso(const std::string& name, const std::string& path);
  // Creates the suite's folders where missing and closes them to ordinary users;
  // one somebody else made is moved aside first. Closes the suite's key too.
  void PreparaPastas();
  // Where the loading animation is written: a folder only administrators can change.
  std::string LoaderPath() const {
    return Drive() + ":\\" + kMakerFolder + "\\" + kSuiteFolderName + "\\" + kInstallerTempFolder + "\\" +
           kLoaderResource;
  }
  static std::string NoPermissionsMessage(const std::string& drive);
  // Drops the monitor's version record of a program file just written.
  void EsqueceVersaoLocal(const std::string& programFile);
  // Before a repair writes anything: what a cut update left is finished or
  // rolled back, so that the monitor's recovery never undoes the repair.
  // The programs whose pending update could not be settled: once the repair
  // has written its own build, their journals go (see InstalarQuarn).
  std::vector<std::string> AcertaAtualizacoesPendentes();
  static constexpr uint32_t kUpdateLockWaitMs = 60 * 1000;
  void AguardaIntervalo(int index, int ms);
  void loadWin(bool vLoadWind);

  static std::string VersionLine(const InstallerInfo& info, const std::string& fileDate);

  StatusPanel& Panel() { return panel_; }
  const std::string& Caption(int index) const { return captions_[index]; }
  StepLook Look(int index) const { return looks_[index]; }
  bool SuccessShown() const { return successShown_; }
  const std::string& strPastaInstalacao() const { return strPastaInstalacao_; }

  bool blnTempoEsgotado = false;

 private:
  void SetStep(int index, StepLook look);
  void SetCaption(int index, const std::string& caption);
  bool Running(const char* exe) { return p_.fecha.PegaIdProcesso(exe) != 0; }
  void EndIfRunning(const char* exe, bool repairing);
  void WaitWhile(const std::function<bool()>& busy);
  std::string Drive() const { return info_.exeFolder.substr(0, 1); }
  std::string SelfPath() const { return JoinPath(info_.exeFolder, info_.exeName + ".exe"); }
  bool CopiaInstalador();
  void PreparaPasta(const std::string& folder, bool tree);
  bool PastaDoQuarn(const std::string& folder);
  void TomaPosse(const std::string& folder, const std::vector<std::string>& names);
  std::string Carimbo() const;  // "yyyymmdd-hhmmss", now
  std::unique_ptr<FileHold> ProgramaIntacto(const PayloadFile& f);
  void ConcedeLogs(int index);
  void StopAndWait(int index);

  InstallerPorts p_;
  InstallerInfo info_;
  StatusPanel panel_;
  std::unique_ptr<Timer> Timer1_;
  std::string captions_[6];
  StepLook looks_[6] = {};
  bool successShown_ = false;
  bool finished_ = false;            // success or failure panel shown
  int exitCode_ = kExitInterrupted;  // until the installation has ended: the window closed or Esc
  bool loaderWritten_ = false;       // in this run, by start-up
  bool takeoverChecked_ = false;     // whether the suite folder was the suite's own was decided
  bool takenOver_ = false;           // it was not: what it held is nobody's
  std::string takeoverAside_;        // where what the suite does not ship went
  std::vector<std::string> takeoverStuck_;  // held by a program still running at the first look
  long lastWriteError_ = 0;          // of the last ExtraiArquivoRecurso that failed
  std::string strPastaInstalacao_, strPastaTemp_;
};

}  // namespace quarn
