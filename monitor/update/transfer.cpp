// The updater's downloads: one GET with its bounds and redirects, the
// version archives asked for only if they changed, a build's download
// resumed where it was cut, and a busy server's wish for a later try.
#include <algorithm>
#include <initializer_list>

#include "monitor/update/reports.h"
#include "monitor/update/updater_parts.h"

namespace quarn {

namespace {

bool IsRedirect(int status) { return status == 301 || status == 302 || status == 303 || status == 307 || status == 308; }

// A small file of the download folder, whole; none when absent, unreadable
// or larger than any the updater writes.
std::string ReadBounded(FileSystem& fs, const std::string& path, uint64_t maxBytes) {
  try {
    if (!fs.FileExists(path) || fs.Stamp(path).size > maxBytes) return {};
    return fs.ReadAll(path);
  } catch (const VbError&) {
    return {};
  }
}

// What is kept beside a file of the download folder: a few short lines.
std::vector<std::string> ReadSidecar(FileSystem& fs, const TextCodec& codec, const std::string& path) {
  std::vector<std::string> lines;
  for (const auto& l : SplitLines(ReadBounded(fs, path, 4096))) lines.push_back(codec.FromAnsi(l));
  return lines;
}

constexpr uint64_t kMaxQueueBytes = kMaxPendingReports * (kMaxReportQuery + 2);

std::string SidecarText(std::initializer_list<std::string> lines) {
  std::string text;
  for (const auto& l : lines) text += l + std::string(kCrLf);
  return text;
}

// The events run inside a transfer's waits must not start another on the
// same transfer: it would take the request from under the first.
class InUse {
 public:
  explicit InUse(InetTransfer& inet) : inet_(inet) {
    if (Busy(inet)) throw Raise(kErrStillExecuting);
    All().push_back(&inet);
  }
  ~InUse() {
    inet_.Cancel();
    All().erase(std::find(All().begin(), All().end(), &inet_));
  }
  InUse(const InUse&) = delete;
  InUse& operator=(const InUse&) = delete;
  static bool Busy(const InetTransfer& inet) {
    return std::find(All().begin(), All().end(), &inet) != All().end();
  }

 private:
  static std::vector<const InetTransfer*>& All() {
    static std::vector<const InetTransfer*> all;
    return all;
  }
  InetTransfer& inet_;
};

void DeleteQuietly(FileSystem& fs, const std::string& path) {
  try {
    if (fs.FileExists(path)) fs.Delete(path);
  } catch (const VbError&) {
    // Tried again the next time it is in the way.
  }
}

}  // namespace

bool Updater::BaixaArquivo(const std::string& url, const std::string& destination) {
  Fetch f;
  Baixa(url, destination, f);
  return true;
}

void Updater::Baixa(const std::string& url, const std::string& destination, Fetch& f) {
  const InUse inUse(p_.inet);

  const std::string first = TrimSpaces(url);
  std::string current = first;
  const DownloadLimits limits = p_.server.Limits(current);
  const uint64_t started = p_.loop.TickMs();
  const auto checkDeadline = [&] {
    if (p_.loop.TickMs() - started >= limits.deadlineMs)
      throw VbError(kErrRequestTimeout, "O download excedeu o tempo máximo de " +
                                            std::to_string(limits.deadlineMs / 1000) + " s: " + current);
  };

  // Redirects are followed by hand, a bounded number, on the same scheme,
  // host and port only.
  int status = 0;
  uint64_t resumeFrom = f.resumeFrom;
  for (int hops = 0;; ++hops) {
    RequestOptions options;
    options.proxy = proxy_.route;
    if (!f.ifChanged.etag.empty())
      options.headers.emplace_back("If-None-Match", f.ifChanged.etag);
    else if (!f.ifChanged.lastModified.empty())
      options.headers.emplace_back("If-Modified-Since", f.ifChanged.lastModified);
    if (resumeFrom > 0) {
      options.headers.emplace_back("Range", "bytes=" + std::to_string(resumeFrom) + "-");
      options.headers.emplace_back("If-Range", f.resumeValidator.ForIfRange());
    }
    p_.inet.Execute(current, "GET", options);
    while (p_.inet.StillExecuting()) {
      checkDeadline();
      p_.loop.Idle(kTransferPollMs);
    }
    status = p_.inet.ResponseCode();
    // What was kept is not of this file (a range past its end, or a part of
    // another version that a server or cache ignoring If-Range would splice
    // on): all of it, once more.
    const bool otherFile =
        status == 206 && resumeFrom > 0 &&
        Validator::From(p_.inet.GetHeader("ETag"), p_.inet.GetHeader("Last-Modified")).ForIfRange() !=
            f.resumeValidator.ForIfRange();
    if ((status == 416 || otherFile) && resumeFrom > 0 && hops < kMaxRedirects) {
      resumeFrom = 0;
      p_.inet.Cancel();
      continue;
    }
    if (!IsRedirect(status)) break;
    const std::string location = p_.inet.GetHeader("Location");
    if (hops == kMaxRedirects)
      throw VbError(status, "Redirecionamentos demais (mais de " + std::to_string(kMaxRedirects) + ") a partir de " +
                                first);
    const std::string next = ResolveRedirect(current, location);
    if (next.empty()) throw VbError(status, "Redirecionamento sem destino válido (Location: " + QuoteForLog(location) + ")");
    if (UrlScheme(current) == "https" && UrlScheme(next) == "http")
      throw VbError(status, "Redirecionamento de https para http recusado: " + QuoteForLog(next));
    if (!SameOrigin(first, next))
      throw VbError(status, "Redirecionamento para outro servidor recusado: " + QuoteForLog(next));
    p_.inet.Cancel();
    current = next;
  }

  if (status == 304 && !f.ifChanged.Empty()) {
    f.notModified = true;
    return;
  }
  if (status == 429 || status == 503) AskedToWait(status, p_.inet.GetHeader("Retry-After"));
  // An error page is no archive: anything but a 2xx answer is a failure.
  if (status < 200 || status > 299)
    throw VbError(status, "O servidor de atualização respondeu HTTP " + std::to_string(status));
  f.validator = Validator::From(p_.inet.GetHeader("ETag"), p_.inet.GetHeader("Last-Modified"));
  int32_t remaining = ParseContentLength(p_.inet.GetHeader("Content-Length"));
  const bool resumed = status == 206 && resumeFrom > 0;
  if (status == 206) {
    // Only the rest of the file asked for, whole to its end, is taken.
    const auto range = ParseContentRange(p_.inet.GetHeader("Content-Range"));
    if (!resumed || !range || static_cast<uint64_t>(range->first) != resumeFrom || range->last + 1 != range->total ||
        range->last - range->first + 1 != remaining || range->total > limits.maxBytes)
      throw VbError(kErrBadFileFormat, "Resposta parcial que não continua o arquivo (Content-Range: " +
                                           QuoteForLog(p_.inet.GetHeader("Content-Range")) + ")");
  } else if (remaining > limits.maxBytes) {
    throw VbError(kErrOverflow, "O tamanho anunciado (Content-Length " + std::to_string(remaining) +
                                    ") excede o limite de " + std::to_string(limits.maxBytes) + " bytes");
  }
  // A cut body may stay, to be asked for again from where it ends, only
  // while the server names it in a way a later If-Range can.
  const bool canResume = f.keepPartial && !f.validator.ForIfRange().empty();
  if (!resumed) p_.fs.WriteAll(destination, {});  // created or emptied: no stale tail survives
  try {
    std::string block;
    uint64_t lastChunk = p_.loop.TickMs();
    const auto flush = [&] {
      if (block.empty()) return;
      p_.fs.Append(destination, block);
      block.clear();
    };
    try {
      while (remaining != 0) {
        const int want = remaining > kChunk ? kChunk : remaining;
        // The body comes in while the window runs its events: the watchdog, the
        // timers and a service stop are never held up behind the network.
        while (!p_.inet.ChunkReady(want)) {
          checkDeadline();
          if (p_.loop.TickMs() - lastChunk >= limits.stallMs)
            throw VbError(kErrRequestTimeout,
                          "O servidor parou de enviar dados por " + std::to_string(limits.stallMs / 1000) + " s");
          p_.loop.Idle(kTransferPollMs);
        }
        std::string chunk = p_.inet.GetChunk(want);
        if (static_cast<int>(chunk.size()) > want)
          throw VbError(kErrOverflow, "A resposta excedeu o tamanho anunciado (Content-Length)");
        block += chunk;
        if (static_cast<int>(chunk.size()) < want)
          throw VbError(kErrPastEnd, "A resposta terminou antes do tamanho anunciado (Content-Length)");
        checkDeadline();
        lastChunk = p_.loop.TickMs();
        remaining -= want;
        // Chunks are read 1 KiB at a time; the file takes them in larger writes.
        if (block.size() >= 64 * 1024 || remaining == 0) flush();
      }
    } catch (const VbError&) {
      if (canResume) flush();  // what arrived whole is kept for the next try
      throw;
    }
  } catch (...) {
    f.partialKept = canResume && p_.fs.FileExists(destination) && p_.fs.Stamp(destination).size > 0;
    // Otherwise a failed or cancelled download leaves nothing that could pass for an archive.
    if (!f.partialKept) {
      try {
        p_.fs.Delete(destination);
      } catch (const VbError&) {
      }
    }
    throw;
  }
}

void Updater::AskedToWait(int status, const std::string& retryAfter) {
  const auto seconds = RetryAfterSeconds(retryAfter, p_.policy.UtcNow());
  if (!seconds) return;
  retryAtMs_ = p_.loop.TickMs() + static_cast<uint64_t>(*seconds) * 1000;
  try {
    logs_.SalvaLogGeral("O servidor de atualização respondeu HTTP " + std::to_string(status) +
                            " e pediu nova tentativa mais tarde (Retry-After: " + QuoteForLog(retryAfter) +
                            "): a próxima verificação fica para daqui a " + std::to_string(*seconds) + " s.",
                        kCorAzul, false);
  } catch (const VbError&) {
  }
}

std::optional<uint64_t> Updater::ServerWaitMs() {
  const uint64_t now = p_.loop.TickMs();
  if (!retryAtMs_ || *retryAtMs_ <= now) return std::nullopt;
  return *retryAtMs_ - now;
}

void Updater::UseMachineProxy() {
  proxy_ = ChooseProxy(p_.server.Proxy());
  if (proxyLogged_ == proxy_.description) return;
  // At the first check after a start, and again whenever it changes.
  try {
    logs_.SalvaLogGeral(proxy_.description, kCorAzul, false);
    proxyLogged_ = proxy_.description;
  } catch (const VbError&) {
  }
}

// ---- the version archive, asked for only if it changed ----------------------

void Updater::BaixaVersao(const Program& prog, const std::string& archive, bool& fromKept) {
  const std::string kept = archive + ".mantido", validator = archive + ".validador";
  const std::string url = Url(prog.versionZip);
  Fetch f;
  const std::vector<std::string> v = ReadSidecar(p_.fs, p_.codec, validator);
  // A validator counts only beside the copy it validated, for this address,
  // and for a day: a validator the server failed to change (two publications
  // within its clock's second) costs at most a day, not every check after.
  const int64_t now = p_.policy.UtcNow();
  uint64_t since = 0;
  if (v.size() == 4 && v[0] == url && p_.fs.FileExists(kept) && ParseDecimal(v[3], INT64_MAX / 2, since) &&
      static_cast<int64_t>(since) <= now + 300 && now - static_cast<int64_t>(since) < kKeptVersionSeconds)
    f.ifChanged = Validator::From(v[1], v[2]);
  Baixa(url, archive, f);
  if (f.notModified) {
    // Nothing changed: the copy of the last verified answer is checked again
    // as if it had just arrived.
    fromKept = true;
    if (p_.fs.Stamp(kept).size > kVersionArchiveLimits.maxBytes)
      throw Raise(kErrBadFileFormat, std::string(prog.versionZip) + " mantido");
    p_.fs.WriteAll(archive, p_.fs.ReadAll(kept));
    return;
  }
  lastVersionValidator_ = f.validator;
}

void Updater::KeepVerifiedVersion(const Program& prog, const std::string& archive, bool fromKept) {
  if (fromKept) return;
  const std::string kept = archive + ".mantido", validator = archive + ".validador";
  try {
    // The validator goes first and comes last: after a power cut it never
    // names a copy that is not the one it validated.
    if (p_.fs.FileExists(validator)) p_.fs.Delete(validator);
    if (lastVersionValidator_.Empty()) return;
    ReplaceFile(p_.fs, kept, p_.fs.ReadAll(archive));
    ReplaceFile(p_.fs, validator,
                p_.codec.ToAnsi(SidecarText({Url(prog.versionZip), lastVersionValidator_.etag,
                                             lastVersionValidator_.lastModified, std::to_string(p_.policy.UtcNow())})));
  } catch (const VbError&) {
    DeleteQuietly(p_.fs, validator);  // the next check asks for the whole archive
  }
}

void Updater::DropKeptVersion(const Program& prog) {
  const std::string archive = temp_ + prog.versionZip;
  DeleteQuietly(p_.fs, archive + ".validador");
  DeleteQuietly(p_.fs, archive + ".mantido");
}

// ---- a build's download, resumed where it was cut ----------------------------

std::string Updater::PartialKey(const Program& prog) const {
  const PublicationKey k = KeyOf(prog);
  return k.version + "|" + std::to_string(k.number) + "|" + ToHex(k.digest);
}

void Updater::DropPartial(const Program& prog) {
  const std::string partial = temp_ + prog.name + ".zip.parcial";
  DeleteQuietly(p_.fs, partial + ".ini");
  DeleteQuietly(p_.fs, partial);
}

void Updater::BaixaBuild(const Program& prog, const std::string& archive) {
  const std::string partial = archive + ".parcial", state = partial + ".ini";
  const std::string url = Url(std::string(prog.name) + ".zip"), key = PartialKey(prog);
  Fetch f;
  f.keepPartial = true;
  const std::vector<std::string> s = ReadSidecar(p_.fs, p_.codec, state);
  // Resumed only for the same publication from the same address; anything
  // else kept goes.
  const Validator kept = s.size() == 4 ? Validator::From(s[2], s[3]) : Validator{};
  if (s.size() == 4 && s[0] == key && s[1] == url && !kept.ForIfRange().empty() && p_.fs.FileExists(partial)) {
    f.resumeFrom = p_.fs.Stamp(partial).size;
    f.resumeValidator = kept;
  } else {
    DropPartial(prog);
  }
  // Written again only for a part kept after this try, once that part is on the disk.
  DeleteQuietly(p_.fs, state);
  if (f.resumeFrom > 0)
    Report("Retomando o download de " + std::string(prog.name) + ".zip a partir de " + std::to_string(f.resumeFrom) +
               " bytes.",
           kCorPreta);
  try {
    Baixa(url, partial, f);
  } catch (...) {
    if (f.partialKept) {
      try {
        p_.fs.Flush(partial);
        p_.fs.WriteAll(state, p_.codec.ToAnsi(SidecarText({key, url, f.validator.etag, f.validator.lastModified})));
      } catch (const VbError&) {
        DropPartial(prog);
      }
    }
    throw;
  }
  p_.fs.Rename(partial, archive);
}

// ---- outcome reports ---------------------------------------------------------

void Updater::QueueReport(const std::string& program, const std::string& from, const std::string& to,
                          uint64_t publication, const char* outcome) {
  try {
    if (!p_.policy.ReportsEnabled()) return;
    const std::string path = temp_ + kReportQueueFile;
    std::vector<std::string> queue = ParseReportQueue(ReadBounded(p_.fs, path, kMaxQueueBytes));
    queue.push_back(
        ReportQuery({program, from.substr(0, 64), to.substr(0, 64), publication, outcome, p_.policy.RolloutBucket()}));
    if (queue.size() > kMaxPendingReports) queue.erase(queue.begin());  // the oldest goes first
    ReplaceFile(p_.fs, path, FormatReportQueue(queue));
  } catch (const VbError&) {
    // A report lost costs a line in the publisher's record, never the update.
  }
}

void Updater::SendReports() {
  // Between checks and updates only, on a transfer nobody else uses, and held
  // as a check is: nothing queues behind the queue's back while it is sent.
  if (ending_ || busy_ || InUse::Busy(p_.inet)) return;
  const std::string path = temp_ + kReportQueueFile;
  std::vector<std::string> queue;
  size_t sent = 0;
  try {
    queue = ParseReportQueue(ReadBounded(p_.fs, path, kMaxQueueBytes));
    if (queue.empty()) return;
    if (!p_.policy.ReportsEnabled()) {
      p_.fs.Delete(path);  // turned off: what waited goes too
      return;
    }
    // A server that asked for quiet, or no network: the next check.
    if (ServerWaitMs() || !TemConexaoInternet()) return;
    const update_parts::Busy busy(busy_);
    UseMachineProxy();
    const uint64_t started = p_.loop.TickMs();
    for (; sent < queue.size(); ++sent) {
      // Any answer but a busy server's ends a report; none leaves the rest for
      // the next check, and all of them together wait a few seconds at most.
      const InUse inUse(p_.inet);
      RequestOptions options;
      options.proxy = proxy_.route;
      p_.inet.Execute(p_.server.BaseUrl() + kUpdatePath + kReportPath + "?" + queue[sent], "GET", options);
      while (p_.inet.StillExecuting()) {
        if (p_.loop.TickMs() - started >= kReportsBudgetMs) throw Raise(kErrRequestTimeout);
        p_.loop.Idle(kTransferPollMs);
      }
      const int status = p_.inet.ResponseCode();  // raises when no answer came
      if (status == 429 || status == 503) {
        AskedToWait(status, p_.inet.GetHeader("Retry-After"));
        break;
      }
    }
  } catch (const VbError&) {
    // The rest is tried again at the next check.
  }
  if (sent == 0) return;
  try {
    ReplaceFile(p_.fs, path, FormatReportQueue({queue.begin() + static_cast<std::ptrdiff_t>(sent), queue.end()}));
  } catch (const VbError&) {
    // Sent again at the next check: a line twice in the record, none lost.
  }
}

}  // namespace quarn
