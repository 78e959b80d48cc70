// The installer's window: its command line, its layout, its start-up and the
// verdict it ends with.
#include "installer/frm_instal.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <map>
#include <set>
#include <utility>

#include "monitor/update/settle.h"

namespace quarn {

// Each file is its own resource (resource names are matched without regard to case).
const PayloadFile kPayload[10] = {
    {kSuiteFiles[0], kSuiteFiles[0]}, {kSuiteFiles[1], kSuiteFiles[1]}, {kSuiteFiles[2], kSuiteFiles[2]},
    {kSuiteFiles[3], kSuiteFiles[3]}, {kSuiteFiles[4], kSuiteFiles[4]}, {kSuiteFiles[5], kSuiteFiles[5]},
    {kSuiteFiles[6], kSuiteFiles[6]}, {kSuiteFiles[7], kSuiteFiles[7]}, {kSuiteFiles[8], kSuiteFiles[8]},
    {kSuiteFiles[9], kSuiteFiles[9]},
};
static_assert(std::size(kSuiteFiles) == std::size(kPayload));

const char* const kStepCaptions[6] = {
    "Carregando Variaveis do Sistema.", "Extraindo Arquivos.",
    "Instalando Serviços do Quarn.",    "Iniciando Serviços.",
    "Quarn Service Iniciado.",          "Quarn Service Monitor Iniciado.",
};

Verdict JulgaInstalacao(const InstallChecks& c) {
  Verdict v;
  auto fail = [&v](int code, std::string line) {
    if (v.exitCode == kExitOk) v.exitCode = code;
    v.failures.push_back(std::move(line));
  };
  if (!c.notWritten.empty()) fail(kExitFilesNotWritten, "Arquivos não gravados: " + JoinedNames(c.notWritten) + ".");
  if (!c.notMoved.empty())
    fail(kExitFilesNotWritten,
         "Arquivos que não são do Quarn SQL e não puderam ser movidos: " + JoinedNames(c.notMoved) + ".");
  if (!c.serviceRuns) fail(kExitServiceNotRunning, "O serviço QuarnSQLService não está em execução.");
  if (!c.monitorRuns) fail(kExitMonitorNotRunning, "O serviço QuarnSQLServiceMonitor não está em execução.");
  if (!c.guiStarted) fail(kExitGuiNotStarted, "O monitor QuarnSQLMonitor.EXE não foi iniciado.");
  if (!c.listed) fail(kExitNotListed, "O Quarn SQL não foi incluído na lista de programas instalados.");
  return v;
}

CommandLine ParseCommandLine(const std::vector<std::string>& args, const std::string& defaultLog) {
  CommandLine cl;
  cl.logPath = defaultLog;
  auto bad = [&cl](const std::string& why) {
    cl.ok = false;
    cl.error = why + " Use: InstaladorQuarnSQL.exe [/quiet] [/log <arquivo>] [/uninstall [/purge]]";
    return cl;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string s = a.size() > 1 && (a[0] == '/' || a[0] == '-') ? a.substr(1) : std::string();
    for (auto& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (s == "quiet" || s == "s") {
      cl.quiet = true;
    } else if (s == "uninstall") {
      cl.uninstall = true;
    } else if (s == "purge") {
      cl.purge = true;
    } else if (s == "log") {
      if (i + 1 == args.size() || args[i + 1].empty()) return bad("Falta o arquivo depois de " + a + ".");
      cl.logPath = args[++i];
    } else {
      return bad("Opção desconhecida: " + a + ".");
    }
  }
  if (cl.purge && !cl.uninstall) return bad("/purge só vale com /uninstall.");
  return cl;
}

int Twips(int twips, int dpi) { return (twips * dpi + 720) / 1440; }

InstallerLayout LayoutFor(int screenW, int screenH, int dpi, int frameW, int frameH) {
  InstallerLayout l{};
  l.windowX = 0;
  l.windowW = screenW;
  l.windowH = Twips(4500, dpi);
  l.windowY = screenH / 2 - l.windowH / 2;
  const int innerW = l.windowW - frameW, innerH = l.windowH - frameH;
  l.panelW = Twips(10725, dpi);
  l.panelH = Twips(3915, dpi);
  l.panelX = innerW / 2 - l.panelW / 2;
  l.panelY = innerH / 2 - l.panelH / 2;
  return l;
}

FrmInstal::FrmInstal(InstallerPorts ports, InstallerInfo info)
    : p_(ports), info_(std::move(info)), panel_(ports.control) {
  for (int i = 0; i < 6; ++i) captions_[i] = kStepCaptions[i];
  // As designed: on, 3000 ms; a tick before the first pause only sets the flag.
  Timer1_ = p_.loop.CreateTimer(3000, [this] { Timer1_Timer(); });
  Timer1_->SetEnabled(true);
}

std::string FrmInstal::VersionLine(const InstallerInfo& info, const std::string& fileDate) {
  return "Versão revisada: " + std::to_string(info.major) + "." + std::to_string(info.minor) + "." +
         std::to_string(info.revision) + " de " + fileDate;
}

void FrmInstal::SetStep(int index, StepLook look) {
  looks_[index] = look;
  p_.view.SetStep(index, captions_[index], look);
}

void FrmInstal::SetCaption(int index, const std::string& caption) {
  captions_[index] = caption;
  p_.view.SetStep(index, captions_[index], looks_[index]);
}

bool FrmInstal::Form_Load() {
  if (p_.platform.PrevInstance()) {
    exitCode_ = kExitAnotherCopy;
    return false;
  }
  p_.view.SetVersionLine(VersionLine(info_, p_.dates.GeneralDate(p_.fs.LastModified(SelfPath()))));
  for (int i = 0; i < 6; ++i) p_.view.SetStep(i, captions_[i], looks_[i]);
  p_.control.ContaService = "LocalSystem";

  // The animation runs with the installer's rights, so it is written only where
  // ordinary users cannot change it; on a volume without permissions there is
  // no such place and the picture box stays empty. A silent run shows none.
  if (!info_.quiet && p_.platform.KeepsPermissions(Drive() + ":\\")) {
    PreparaPastas();
    loaderWritten_ = ExtraiArquivoRecurso(kLoaderResource, LoaderPath());
  }
  loadWin(false);
  if (!info_.quiet) loadWin(true);

  if (!info_.quiet) p_.view.ShowWindow();
  p_.loop.DoEvents();
  VerificaSeTemService();
  p_.loop.DoEvents();
  InstalarQuarn();
  return true;
}

void FrmInstal::Timer1_Timer() {
  blnTempoEsgotado = true;
  Timer1_->SetEnabled(false);
}

void FrmInstal::Form_KeyDown(int keyCode) {
  if (keyCode == 13 && finished_) p_.platform.EndProgram();
  if (keyCode == 27) {
    if (!finished_) exitCode_ = kExitInterrupted;
    p_.platform.EndProgram();
  }
}

void FrmInstal::loadWin(bool vLoadWind) {
  if (vLoadWind) {
    p_.view.ShowLoadHost(true);
    // Only the file written in this run, unchanged, is started: never one that
    // was there before (a write that failed leaves the picture box empty).
    if (!loaderWritten_ || !p_.platform.StartWritten(LoaderPath(), p_.resources.Read(kLoaderResource))) return;
    // The program needs a moment to show its window: look again for a short while.
    const uint64_t start = p_.loop.TickMs();
    while (!p_.view.AdoptWindow(kLoaderTitle) && p_.loop.TickMs() - start < kLoaderWaitMs) p_.loop.Idle(kPollMs);
    return;
  }
  p_.view.ShowLoadHost(false);
  uint32_t id = p_.fecha.PegaIdProcesso(kLoaderFile);
  uintptr_t noWindow = 0;
  if (id != 0) p_.fecha.FechaProcesso(id, noWindow);
}

}  // namespace quarn
