#include "monitor/update/updater.h"

#include <algorithm>
#include <climits>

#include "monitor/update/manifest.h"

namespace quarn {

namespace {

constexpr long kErrOverflow = 6;
constexpr long kErrTypeMismatch = 13;
constexpr long kErrPastEnd = 62;
constexpr long kErrProgramStillRunning = 70;

std::string ErrorText(const VbError& e) { return std::to_string(e.Number()) + "-" + e.Description(); }

}  // namespace

// The two programs the updater keeps current, with their names as the server
// and the records spell them.
struct Updater::Program {
  const char* name;          // program file without ".exe", and its archive's name
  const char* recordFile;    // local record and server record
  const char* versionZip;    // server record archive
  const char* localLabel;
  const char* netLabel;
  const char* checking;      // first report of the server reader
  const char* savingLabel;   // "Salvando ..." and "... Salva..."
  std::string Updater::*local;
  std::string Updater::*net;
  bool isService;
};

const Updater::Program& Updater::ProgramFor(const std::string& name) {
  static const Program service{"QuarnSQLService",
                               "VersaoQuarnSQLService.ini",
                               "VersaoQuarnSQLService.zip",
                               "VersaoQuarnSQLService.Local: ",
                               "VersaoQuarnSQLService.Net: ",
                               "Verificando atualizações disponíveis para o Serviço QuarnSQlService.",
                               "VersaoQuarnSQLService",
                               &Updater::VLocalService,
                               &Updater::VNetService,
                               true};
  static const Program monitor{"QuarnSQLMonitor",
                               "VersaoQuarnSqlMonitor.ini",
                               "VersaoQuarnSqlMonitor.zip",
                               "VersaoQuarnSqlMonitor.Local: ",
                               "VersaoQuarnSqlMonitorEXE.Net: ",
                               "Verificando atualizações disponíveis para o QuarnSqlMonitor.",
                               "VersaoQuarnSqlMonitor",
                               &Updater::VLocalExe,
                               &Updater::VNetExe,
                               false};
  return name == service.name ? service : monitor;
}

std::string TrimSpaces(const std::string& s) {
  const size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

int32_t ParseContentLength(const std::string& text) {
  const std::string t = TrimSpaces(text);
  size_t i = 0;
  if (i < t.size() && t[i] == '+') ++i;
  if (i == t.size()) throw VbError(kErrTypeMismatch, "Tipos incompatíveis");
  int64_t value = 0;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') throw VbError(kErrTypeMismatch, "Tipos incompatíveis");
    value = value * 10 + (t[i] - '0');
    if (value > INT32_MAX) throw VbError(kErrOverflow, "Estouro");
  }
  return static_cast<int32_t>(value);
}

bool PrecisaAtualizar(const std::string& local, const std::string& net) {
  return local != kVersionError && net != kVersionError && local != net;
}

std::string Updater::LocalRecordPath(const Program& prog) const {
  return JoinPath(app_, std::string("Logs\\") + prog.recordFile);
}

// ---- download ------------------------------------------------------------------

bool Updater::BaixaArquivo(const std::string& url, const std::string& destination) {
  constexpr long kErrTimeout = 35761;
  constexpr long kErrStillExecuting = 35764;
  // The events run inside this download's waits must not start another on the
  // same transfer: it would take the request from under this one.
  static std::vector<const InetTransfer*> busy;
  if (std::find(busy.begin(), busy.end(), &p_.inet) != busy.end())
    throw VbError(kErrStillExecuting, "Ainda executando a última solicitação");
  busy.push_back(&p_.inet);
  struct Request {
    InetTransfer& inet;
    ~Request() {
      inet.Cancel();
      busy.erase(std::find(busy.begin(), busy.end(), &inet));
    }
  } request{p_.inet};

  std::string current = TrimSpaces(url);
  const DownloadLimits limits = p_.server.Limits(current);
  const uint64_t started = p_.loop.TickMs();
  const auto checkDeadline = [&] {
    if (p_.loop.TickMs() - started >= limits.deadlineMs)
      throw VbError(kErrTimeout, "O download excedeu o tempo máximo de " + std::to_string(limits.deadlineMs / 1000) +
                                     " s: " + current);
  };

  // Redirects are followed by hand, a bounded number, never from https down to http.
  int status = 0;
  for (int redirects = 0;; ++redirects) {
    p_.inet.Execute(current, "GET");
    while (p_.inet.StillExecuting()) {
      checkDeadline();
      p_.loop.Idle(kTransferPollMs);
    }
    status = p_.inet.ResponseCode();
    if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308) break;
    const std::string location = p_.inet.GetHeader("Location");
    if (redirects == kMaxRedirects)
      throw VbError(status, "Redirecionamentos demais (mais de " + std::to_string(kMaxRedirects) + ") a partir de " +
                                TrimSpaces(url));
    const std::string next = ResolveRedirect(current, location);
    if (next.empty())
      throw VbError(status, "Redirecionamento sem destino válido (Location: " + location + ")");
    if (UrlScheme(current) == "https" && UrlScheme(next) == "http")
      throw VbError(status, "Redirecionamento de https para http recusado: " + next);
    p_.inet.Cancel();
    current = next;
  }

  // An error page is no archive: anything but a 2xx answer is a failure.
  if (status < 200 || status > 299)
    throw VbError(status, "O servidor de atualização respondeu HTTP " + std::to_string(status));
  int32_t remaining = ParseContentLength(p_.inet.GetHeader("Content-Length"));
  if (remaining > limits.maxBytes)
    throw VbError(kErrOverflow, "O tamanho anunciado (Content-Length " + std::to_string(remaining) +
                                    ") excede o limite de " + std::to_string(limits.maxBytes) + " bytes");

  p_.fs.WriteAll(destination, {});  // created or emptied: no stale tail survives
  try {
    std::string block;
    uint64_t lastChunk = p_.loop.TickMs();
    while (remaining != 0) {
      const int want = remaining > kChunk ? kChunk : remaining;
      // The body comes in while the window runs its events: the watchdog, the
      // timers and a service stop are never held up behind the network.
      while (!p_.inet.ChunkReady(want)) {
        checkDeadline();
        if (p_.loop.TickMs() - lastChunk >= limits.stallMs)
          throw VbError(kErrTimeout, "O servidor parou de enviar dados por " + std::to_string(limits.stallMs / 1000) +
                                         " s");
        p_.loop.Idle(kTransferPollMs);
      }
      std::string chunk = p_.inet.GetChunk(want);
      if (static_cast<int>(chunk.size()) < want)
        throw VbError(kErrPastEnd, "A resposta terminou antes do tamanho anunciado (Content-Length)");
      if (static_cast<int>(chunk.size()) > want)
        throw VbError(kErrOverflow, "A resposta excedeu o tamanho anunciado (Content-Length)");
      checkDeadline();
      lastChunk = p_.loop.TickMs();
      remaining -= want;
      block += chunk;
      // Chunks are read 1 KiB at a time; the file takes them in larger writes.
      if (block.size() >= 64 * 1024 || remaining == 0) {
        p_.fs.Append(destination, block);
        block.clear();
      }
    }
  } catch (...) {
    // A failed or cancelled download leaves nothing that could pass for an archive.
    try {
      p_.fs.Delete(destination);
    } catch (const VbError&) {
    }
    throw;
  }
  return true;
}

// ---- extraction ----------------------------------------------------------------

void Updater::DesCompacta(const std::string& archive, const std::string& include, const std::string& target,
                          bool restoreStructure) {
  try {
    p_.unzip.addUNZIP_Overwrite(11);
    p_.unzip.addUNZIP_ArchiveName(archive);
    p_.unzip.addUNZIP_Include(include);
    p_.unzip.addUNZIP_ExtractTo(target);
    p_.unzip.addUNZIP_RestoreStructure(restoreStructure ? -1 : 0);
    const int32_t result = p_.unzip.addUNZIP();
    if (result < SHRT_MIN || result > SHRT_MAX) throw VbError(kErrOverflow, "Estouro");
  } catch (const VbError& e) {
    Report("DesCompacta" + include + " " + ErrorText(e), kCorVermelha);
    w_->Logs().SalvaLogErro("DesCompacta " + include + " " + ErrorText(e));
  }
}

// ---- version records -----------------------------------------------------------

std::string Updater::ReadLastLine(const std::string& path) {
  const auto lines = SplitLines(p_.codec.FromAnsi(p_.fs.ReadAll(path)));
  return lines.empty() ? std::string() : lines.back();
}

void Updater::PegaLocal(const Program& prog) {
  std::string& value = this->*prog.local;
  const std::string path = LocalRecordPath(prog);
  value.clear();
  try {
    if (!p_.fs.FileExists(path)) p_.fs.WriteAll(path, {});
    value = TrimSpaces(ReadLastLine(path));
    Report(prog.localLabel + value, kCorPreta);
  } catch (const VbError& e) {
    value = kVersionError;
    Report(std::string(prog.localLabel) + kVersionError + " " + ErrorText(e), kCorVermelha);
  }
}

void Updater::PegaNet(const Program& prog) {
  std::string& value = this->*prog.net;
  value.clear();
  try {
    Report(prog.checking, kCorPreta);
    const std::string archive = w_->PastaTemp() + prog.versionZip;
    if (p_.fs.FileExists(archive)) p_.fs.Delete(archive);
    if (BaixaArquivo(Url(prog.versionZip), archive)) {
      const std::string record = w_->PastaTemp() + prog.recordFile;
      if (p_.fs.FileExists(record)) p_.fs.Delete(record);
      DesCompacta(archive, "", w_->PastaTemp(), false);
      const auto lines = SplitLines(p_.codec.FromAnsi(p_.fs.ReadAll(record)));
      if (lines.empty()) throw VbError(kErrPastEnd, "A entrada ultrapassou o final do arquivo");
      value = TrimSpaces(lines.front());
    } else {
      value = kVersionError;
    }
    Report(prog.netLabel + value, kCorAzul);
  } catch (const VbError& e) {
    value = kVersionError;
    Report(std::string(prog.netLabel) + kVersionError + " " + ErrorText(e), kCorVermelha);
  }
}

void Updater::PegaVLocal() { PegaLocal(ProgramFor("QuarnSQLService")); }
void Updater::PegaVLocalEXE() { PegaLocal(ProgramFor("QuarnSQLMonitor")); }
void Updater::PegaVNET() { PegaNet(ProgramFor("QuarnSQLService")); }
void Updater::PegaVNETEXE() { PegaNet(ProgramFor("QuarnSQLMonitor")); }

// ---- checks --------------------------------------------------------------------

void Updater::Verifica(const Program& prog) {
  // A check never ends the program: a report it cannot write ends the check.
  try {
    RecuperaAtualizacao(prog.name);
    if (!TemConexaoInternet()) {
      Report("Sem conexão com a internet.", kCorAzul);
      return;
    }
    PegaNet(prog);
    PegaLocal(prog);
    const std::string& local = this->*prog.local;
    const std::string& net = this->*prog.net;
    if (local == kVersionError || net == kVersionError) return;
    if (local == net) {
      Report("Nenhuma atualização disponível no momento para o Quarn Monitor SQL Service.", kCorAzul);
      Report("Monitorando...", kCorAzul);
      return;
    }
    UpdateSistema(prog.name);
  } catch (const VbError& e) {
    try {
      w_->Logs().SalvaLogErro(std::string("Verificando ") + prog.name + " " + ErrorText(e));
    } catch (const VbError&) {
    }
  }
}

void Updater::VerificarSeTemAtualService() { Verifica(ProgramFor("QuarnSQLService")); }
void Updater::VerificarSeTemAtualExe() { Verifica(ProgramFor("QuarnSQLMonitor")); }

// ---- the update ----------------------------------------------------------------

void Updater::EndProgram(const std::string& exe) {
  uintptr_t noWindow = 0;
  uint32_t id = p_.fecha.PegaIdProcesso(exe);
  if (id != 0) p_.fecha.FechaProcesso(id, noWindow);
  // Its file can be replaced only once it is gone; an ended program that
  // lingers is ended again, and the wait is bounded.
  const uint64_t start = p_.loop.TickMs();
  while ((id = p_.fecha.PegaIdProcesso(exe)) != 0) {
    if (p_.loop.TickMs() - start >= kProcessWaitMs)
      throw VbError(kErrProgramStillRunning, "O programa " + exe + " não terminou");
    p_.fecha.FechaProcesso(id, noWindow);
    p_.loop.Idle(kProcessPollMs);
  }
}

namespace {

// Moves the new build into place, keeping every file it replaces until the new
// version is recorded, so that a failure can put the old build back whole.
class Swap {
 public:
  Swap(FileSystem& fs, std::string target, std::string staging, std::string backup)
      : fs_(fs), target_(std::move(target)), staging_(std::move(staging)), backup_(std::move(backup)) {}
  void Install() {
    if (!fs_.DirExists(backup_)) fs_.CreateDir(backup_);
    for (const auto& f : fs_.ListFiles(staging_)) {
      const std::string dst = JoinPath(target_, f);
      Move m{dst, JoinPath(backup_, f), false, false};
      if (fs_.FileExists(dst)) {
        fs_.Rename(dst, m.backup);
        m.backedUp = true;
      }
      moves_.push_back(m);
      fs_.Rename(JoinPath(staging_, f), dst);
      moves_.back().placed = true;
    }
  }
  void Rollback() noexcept {
    for (auto it = moves_.rbegin(); it != moves_.rend(); ++it) {
      try {
        if (it->placed && fs_.FileExists(it->target)) fs_.Delete(it->target);
        if (it->backedUp) fs_.Rename(it->backup, it->target);
      } catch (const VbError&) {
      }
    }
    moves_.clear();
  }

 private:
  struct Move {
    std::string target, backup;
    bool backedUp, placed;
  };
  FileSystem& fs_;
  std::string target_, staging_, backup_;
  std::vector<Move> moves_;
};

void EmptyFolder(FileSystem& fs, const std::string& folder) {
  if (!fs.DirExists(folder)) {
    fs.CreateDir(folder);
    return;
  }
  for (const auto& f : fs.ListFiles(folder)) fs.Delete(JoinPath(folder, f));
}

}  // namespace

void Updater::RecuperaAtualizacao(const std::string& name) {
  const Program& prog = ProgramFor(name);
  const std::string temp = w_->PastaTemp();
  const std::string journal = temp + name + ".pendente";
  const std::string backup = temp + name + ".anterior";
  if (p_.fs.FileExists(journal)) {
    // Killed between the swap and the end of the update: keep the new build
    // only if its version was recorded, else put the old one back.
    const std::string pending = TrimSpaces(ReadLastLine(journal));
    const std::string record = LocalRecordPath(prog);
    const bool recorded = p_.fs.FileExists(record) && TrimSpaces(ReadLastLine(record)) == pending;
    if (!recorded) {
      for (const auto& f : p_.fs.ListFiles(backup)) p_.fs.Rename(JoinPath(backup, f), JoinPath(app_, f));
    }
    p_.fs.Delete(journal);
  }
  for (const auto& f : p_.fs.ListFiles(backup)) p_.fs.Delete(JoinPath(backup, f));
}

void Updater::UpdateSistema(std::string name) {
  const Program& prog = ProgramFor(name);
  const bool service = name == "QuarnSQLService";
  const std::string temp = w_->PastaTemp();
  const std::string exe = name + ".exe";
  const std::string journal = temp + name + ".pendente";
  Swap swap(p_.fs, app_, temp + name + ".novo", temp + name + ".anterior");
  bool recorded = false;
  try {
    const std::string archive = temp + name + ".zip";
    if (p_.fs.FileExists(archive)) p_.fs.Delete(archive);
    Report("Baixando Serviço " + name + " para atualização...", kCorPreta);
    if (!BaixaArquivo(Url(name + ".zip"), archive)) return;
    Report(name + " baixado com sucesso.", kCorPreta);

    // The build is unpacked and checked before anything running is touched.
    const std::string staging = temp + name + ".novo";
    EmptyFolder(p_.fs, staging);
    DesCompacta(archive, "", staging, false);
    if (!p_.fs.FileExists(JoinPath(staging, exe)))
      throw VbError(kErrFileNotFound, "Arquivo não encontrado: " + exe + " no pacote " + name + ".zip");
    if (verifier_) verifier_->VerificaPacote(staging, name, this->*prog.net, w_->Logs());

    Report("Parando o " + name + ".", kCorAzul);
    if (service) {
      p_.service.PararService();
      w_->TimerCheckService().SetEnabled(false);
    }
    EndProgram(exe);
    Report("Atualizando o " + name + "...", kCorPreta);

    Report("Descompactando...", kCorPreta);
    p_.fs.WriteAll(journal, p_.codec.ToAnsi(this->*prog.net + std::string(kCrLf)));
    swap.Install();
    Report("Descompactado...", kCorAzul);

    Report(std::string("Salvando ") + prog.savingLabel + "...", kCorPreta);
    p_.fs.WriteAll(LocalRecordPath(prog), p_.codec.ToAnsi(this->*prog.net + std::string(kCrLf)));
    recorded = true;  // from here on the new build stays, whatever happens
    Report(std::string(prog.savingLabel) + " Salva...", kCorAzul);
    if (service) {
      Report("Startando Service...", kCorPreta);
      p_.service.IniciarService();
      Report("Startado Service...", kCorAzul);
      w_->TimerCheckService().SetEnabled(true);
    }
    Report("Uma nova versão do " + name + " foi instalada.", kCorPreta);
    Report("Monitorando...", kCorPreta);
    RecuperaAtualizacao(name);  // the journal and the old build's files go
  } catch (const VbError& e) {
    if (!recorded) {
      swap.Rollback();
      try {
        if (p_.fs.FileExists(journal)) p_.fs.Delete(journal);
      } catch (const VbError&) {
      }
    }
    w_->TimerCheckService().SetEnabled(true);
    const std::string text = "Update Sistema " + name + " " + ErrorText(e);
    Report(text, kCorVermelha);
    w_->Logs().SalvaLogErro(text);
  }
}

}  // namespace quarn
