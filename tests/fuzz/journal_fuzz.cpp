// Any bytes as an update journal, and the recovery planned from it: nothing
// but a plain file name of the suite folder is ever moved or deleted, and a
// journal found foreign moves nothing on its own word.
#include "common/ansi_text.h"
#include "aunzip32/name_policy.h"
#include "fuzz/fuzz_check.h"
#include "monitor/update/recovery_plan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quarn;
  const auto lines = SplitLines(Cp1252Codec().FromAnsi(fuzz::Input(data, size)));
  const Journal j = ParseJournal(lines);
  for (const auto& [kind, file] : j.files) {
    QUARN_FUZZ_CHECK(kind == '=' || kind == '+');
    QUARN_FUZZ_CHECK(unzip::IsSafeFileName(file));
  }
  // The suite folder holds every name the journal gives; the backup folder one
  // file of our own.
  std::vector<std::string> suite;
  for (const std::string& l : lines)
    if (l.size() > 1) suite.push_back(l.substr(1));
  const RecoveryPlan plan = PlanRecovery(RecoveryInput{lines, {"libmysql.dll"}, suite, std::string("2.0")});
  QUARN_FUZZ_CHECK(plan.needed);
  for (const auto& move : plan.moves) {
    QUARN_FUZZ_CHECK(unzip::IsSafeFileName(move.file));
    if (!plan.invalidLine.empty()) QUARN_FUZZ_CHECK(move.putBack && move.file == "libmysql.dll");
  }
  QUARN_FUZZ_CHECK(plan.stopProgram == !plan.moves.empty());
  // Past the swap nothing moves: a probation goes on, a commit only cleans up;
  // the same journal after a failed probation is rolled back like any other.
  if (plan.committed || plan.resumeProbation) QUARN_FUZZ_CHECK(plan.moves.empty() && plan.invalidLine.empty());
  QUARN_FUZZ_CHECK(!(plan.committed && plan.resumeProbation));
  const RecoveryPlan failed = PlanRecovery(RecoveryInput{lines, {"libmysql.dll"}, suite, std::string("2.0"), true});
  QUARN_FUZZ_CHECK(!failed.resumeProbation);
  return 0;
}
