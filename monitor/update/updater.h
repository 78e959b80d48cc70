#pragma once
// The updater: version records, download, extraction and the update of the
// backup service and the GUI monitor from the update server.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/ansi_text.h"
#include "common/errors.h"
#include "common/event_loop.h"
#include "common/file_system.h"
#include "common/process_control.h"
#include "common/service_control.h"
#include "common/suite_files.h"
#include "common/update_lock.h"
#include "monitor/health_events.h"
#include "monitor/logs.h"
#include "monitor/update/disk_check.h"
#include "monitor/update/holds.h"
#include "monitor/update/manifest.h"
#include "monitor/update/probation.h"
#include "monitor/update/recovery_plan.h"
#include "monitor/update/update_checks.h"
#include "monitor/update/update_ports.h"

namespace quarn {

struct UpdaterPorts {
  FileSystem& fs;
  const TextCodec& codec;
  EventLoop& loop;
  InetTransfer& inet;
  UnzipLibrary& unzip;
  UpdateServer& server;
  MonitorServiceControl& service;
  FechaExe& fecha;
  UpdatePolicy& policy;
  UpdateLock& lock;  // held while a check, an update, a recovery or a probation's outcome runs
};

inline constexpr char kVersionError[] = "erro";

// Leading and trailing space characters removed; tabs and line feeds stay.
std::string TrimSpaces(const std::string& s);
// The text of a Content-Length header as a 32-bit count, as the conversion of
// the original reads it; raises "type mismatch" or "overflow", and a negative
// length is no length.
int32_t ParseContentLength(const std::string& text);
// A version record is a line of a few bytes. A larger file, or a longer
// line, is refused before it is read whole (a hostile server's record would
// otherwise be held in memory and quoted into the logs at every check).
inline constexpr uint64_t kMaxRecordBytes = 4096;
inline constexpr size_t kMaxRecordLineBytes = 256;
inline constexpr size_t kRecordQuoteBytes = 64;
// The first (the server's record) or the last line of a record's bytes, code
// page 1252 in, UTF-8 out; raises "bad file format" quoting at most the first
// kRecordQuoteBytes of a line over the bound, and "input past end" for a
// server's record without a line.
std::string RecordLine(std::string_view bytes, bool last);
// True when the version records say the program must be replaced.
bool PrecisaAtualizar(const std::string& local, const std::string& net);
// True when the bytes start as a Windows program does: the DOS header, its
// pointer to the PE signature inside the file, an executable image that is
// no DLL, and a 32- or 64-bit optional header.
bool IsWindowsProgram(std::string_view bytes);

class Updater final : public UpdateChecks {
 public:
  static constexpr int kTransferPollMs = 10;
  static constexpr int kChunk = 1024;
  // How long an ended program may take to disappear before the update gives up.
  static constexpr uint64_t kProcessWaitMs = 30 * 1000;
  static constexpr int kProcessPollMs = 50;
  // Once the monitor has been told to stop, its waits must fit in the service
  // manager's stop wait.
  static constexpr uint64_t kEndingWaitMs = 5 * 1000;
  // How often probation looks at the new build of the backup service.
  static constexpr int kProbationTickMs = 1000;
  static constexpr char kReportQueueFile[] = "RelatoriosPendentes.ini";  // in the download folder
  static constexpr uint64_t kReportsBudgetMs = 20 * 1000;                // all of a queue's reports at once
  // How long a kept version archive's validator is asked with, at most.
  static constexpr int64_t kKeptVersionSeconds = 24 * 3600;

  // What it uses of the monitor's window: the logs it reports in, the watchdog
  // it holds off while the backup service is replaced, and the download folder.
  // With a verifier, staged builds are checked against their signed manifest
  // before they are installed; the observer is told of each check's result,
  // each build installed or refused, each rollback and hold.
  Updater(UpdaterPorts ports, std::string appPath, MonitorLogs& logs, Timer& watchdog, std::string pastaTemp,
          BuildVerifier* verifier = nullptr, UpdateObserver* observer = nullptr);
  ~Updater() override;
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  void VerificarSeTemAtualService() override;
  void VerificarSeTemAtualExe() override;
  void UpdateSistema(const std::string& varProgramaTem);

  bool TemConexaoInternet() { return p_.inet.InternetGetConnectedState(); }
  bool BaixaArquivo(const std::string& url, const std::string& destination);
  // One GET into `destination`, bounded, its redirects followed on the same
  // origin only.
  struct Fetch {
    Validator ifChanged;  // asks only if the answer changed since this one
    // The destination holds this many bytes of the file this validator named:
    // only the rest is asked for, and the whole file when it changed.
    uint64_t resumeFrom = 0;
    Validator resumeValidator;
    bool keepPartial = false;  // a cut body stays when it can be resumed
    bool notModified = false;  // out: a 304, the destination untouched
    Validator validator;       // out: the answer's
    bool partialKept = false;  // out: a failure left a part to resume
  };
  void Baixa(const std::string& url, const std::string& destination, Fetch& f);
  std::optional<uint64_t> ServerWaitMs() override;
  void RecuperaPendentes() override;
  // The library's result: the number of files written, or negative when the
  // extraction failed (a failed call is reported here and gives -1).
  int32_t DesCompacta(const std::string& archive, const std::string& include, const std::string& target,
                      bool restoreStructure);

  void PegaVLocal();
  void PegaVLocalEXE();
  void PegaVNET();
  void PegaVNETEXE();

  std::string VLocalService, VNetService, VLocalExe, VNetExe;

  // Puts back what an update killed half-way left behind (see UpdateSistema);
  // false while that cannot be done, and then the journal stays for the next
  // check; false too while a new build's probation runs (it goes on).
  bool RecuperaAtualizacao(const std::string& name);
  // A tick of the new build's probation: it passes (the update is committed),
  // fails (the kept build goes back, the publication is held) or goes on.
  void AcompanhaProvacao();  // and sends the report of its outcome
  bool InProbation() const { return probation_.has_value(); }

  // Where a version archive is unpacked: a folder of its own, away from the
  // journals, staging and backup folders that recovery acts on.
  std::string VersionFolder() const { return temp_ + "versao\\"; }
  // The last checked publication of each program (for reports and metrics).
  const Publication* LastPublication(const std::string& name) const {
    auto it = publications_.find(name);
    return it == publications_.end() ? nullptr : &it->second;
  }

 private:
  struct Program;
  static const Program& ProgramFor(const std::string& name);
  void Verifica(const Program& prog);  // the check, then the reports it left
  void VerificaPrograma(const Program& prog);
  void PegaLocal(const Program& prog);
  void PegaNet(const Program& prog);
  void Report(const std::string& text, int32_t color) { logs_.FormataRichTextBox(text, color, false); }
  std::string Url(const std::string& file) const { return p_.server.BaseUrl() + kUpdatePath + file; }
  std::string LocalRecordPath(const Program& prog) const;
  void EndProgram(const std::string& exe);
  void WriteDurable(const std::string& path, std::string_view bytes);
  void Wait(int ms);
  void StopService();
  void StopProgram(const Program& prog);
  void StartBackupService();
  // `planned` is told what recovery found: a probation to go on with, a commit to finish.
  bool Restaura(const Program& prog, bool announce, bool probationFailed = false, RecoveryPlan* planned = nullptr);
  // The files of the other program's build in place, as its list names them.
  std::vector<std::string> OtherProgramsFiles(const Program& prog);
  // A file's SHA-256, with the window's events between its chunks; none without a verifier.
  std::function<std::string(const std::string&)> Hasher();
  std::optional<std::string> RecordVersion(const Program& prog);  // none when unreadable
  // The old build's copy, the journal and the staging go; once committed, the
  // installed build's list takes its place beside the record first.
  void CleanUp(const Program& prog, bool committed = false);
  void WriteReplacing(const std::string& path, std::string_view bytes);
  void SetJournalStage(const Program& prog, const std::string& stage);
  // The update is done: the commit point is behind, the clean-up follows.
  void Committed(const Program& prog, const std::string& version, const Publication& publication);
  // `heartbeatBefore`: the heartbeat's stamp before the new build started.
  void StartProbation(const std::string& version, std::optional<FileStamp> heartbeatBefore);
  std::optional<FileStamp> HeartbeatStamp();
  std::optional<ProbationSample> SampleBackupService();  // none when the service manager could not say
  void ProbationFailed(const std::string& why);
  // The files of the build in place (temp\<name>.instalado until committed).
  void WriteInstalledDraft(const Program& prog, const std::vector<std::string>& files,
                           const std::map<std::string, std::string>& digests, const Publication& publication);
  // The first file of the build in place that is missing or changed, empty when none.
  std::string DamagedFile(const Program& prog, bool& missing);
  PublicationKey KeyOf(const Program& prog) const;
  std::vector<Hold> ReadHolds();
  void WriteHolds(const std::vector<Hold>& holds);
  // False when the publication is held and its next try has not come.
  bool HoldAllows(const Program& prog);
  // False when the publication does not reach this machine (a staged rollout
  // it is not in, the publisher's hold): said once per publication.
  bool RolloutAllows(const Program& prog);
  void HoldPublication(const Program& prog, const PublicationKey& key);
  template <class Step>
  bool Finishing(Step step);
  std::string ReadRecord(const std::string& path, bool last);
  // Downloads, in transfer.cpp.
  void UseMachineProxy();  // read again for each check; said when it changes
  void AskedToWait(int status, const std::string& retryAfter);
  // The version archive; from the copy of its last verified answer when the server says 304.
  void BaixaVersao(const Program& prog, const std::string& archive, bool& fromKept);
  void KeepVerifiedVersion(const Program& prog, const std::string& archive, bool fromKept);
  void DropKeptVersion(const Program& prog);
  // A build's archive, resumed from the part a cut download left for the same publication.
  void BaixaBuild(const Program& prog, const std::string& archive);
  std::string PartialKey(const Program& prog) const;
  void DropPartial(const Program& prog);
  // Outcome reports: queued (the newest 16 kept), sent after a check or a
  // probation's outcome, what gets no answer tried again at the next check.
  void QueueReport(const std::string& program, const std::string& from, const std::string& to, uint64_t publication,
                   const char* outcome);
  void SendReports();
  bool ObserveProbation();  // true when the probation ended

  UpdaterPorts p_;
  std::string app_;
  MonitorLogs& logs_;
  Timer& watchdog_;
  std::string temp_;
  BuildVerifier* verifier_ = nullptr;
  std::map<std::string, Publication> publications_;  // by program, from its last server record
  UpdateObserver* observer_ = &UpdateObserver::None();
  bool ending_ = false;  // the window was unloaded: waits run no events
  bool busy_ = false;    // a check, an update or a recovery runs: probation's ticks wait
  std::optional<Probation> probation_;
  std::string probationVersion_;
  bool failureHeld_ = false;  // the failed probation's publication is held already
  std::unique_ptr<Timer> probationTimer_;
  ProxyChoice proxy_;
  std::optional<std::string> proxyLogged_;
  std::optional<uint64_t> retryAtMs_;  // on the loop's clock: the server asked for no check before
  Validator lastVersionValidator_;
  std::map<std::string, std::string> rolloutSaid_;  // by program: the publication last said waiting
  std::string probationFrom_;                       // the build the one in probation replaced
};

}  // namespace quarn
