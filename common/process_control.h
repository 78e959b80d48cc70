#pragma once
// mdlFechaExe / FechaExe: find a running program by its file name and end it.
#include <cstdint>
#include <string>
#include <vector>

namespace quarn {

struct ProcessEntry {
  uint32_t id = 0;
  std::string exeFile;  // the executable's file name, as the process list gives it
};

class ProcessPort {
 public:
  virtual ~ProcessPort() = default;
  // The running processes in the system's order; false when no list can be taken.
  virtual bool Snapshot(std::vector<ProcessEntry>& out) = 0;
  // The process that owns a window, or 0.
  virtual uint32_t WindowProcess(uintptr_t window) = 0;
  // Lets this program end processes of other accounts; failures are ignored.
  virtual void EnableDebugPrivilege() = 0;
  // Opens the process for termination and ends it with exit code 0; true when accepted.
  virtual bool Terminate(uint32_t id) = 0;
};

// The text in the ANSI code page, upper-cased (ASCII and Latin-1 letters): file
// names are compared as the ANSI texts the process list holds.
std::string UpperAnsi(const std::string& utf8);

// Pattern match with the wildcards of file-name patterns in the original
// module: "?" one character, "#" one digit, "[...]"/"[!...]" a character list,
// "*" any run. Compares single-byte texts.
bool LikeMatch(const std::string& text, const std::string& pattern);

class FechaExe {
 public:
  explicit FechaExe(ProcessPort& port) : port_(port) {}

  // The id of the first process whose file name begins with NomeExe (any case), or 0.
  uint32_t PegaIdProcesso(const std::string& NomeExe);
  // Ends the process given by id, or by a window of it (then the id is set).
  bool FechaProcesso(uint32_t& IdProcesso, uintptr_t& JanelaProcesso);
  // True while the process with this id runs the program NomeExe (a reused id
  // runs another); false when no list can be taken.
  bool ProcessoAtivo(uint32_t id, const std::string& NomeExe);

 private:
  ProcessPort& port_;
};

}  // namespace quarn
