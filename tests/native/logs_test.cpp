#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "fakes/fakes.h"
#include "monitor/logs.h"

namespace quarn {
namespace {

using fakes::kApp;
const std::string kFormatted = kApp + "\\Logs\\FormataRichTextBoxServiceMonitor.INI";
const std::string kGeneral = kApp + "\\Logs\\LogGeralMonitor.INI";
const std::string kError = kApp + "\\ErrorQuarn.ini";

// The original algorithm, kept here as the yardstick: read the file line by
// line (a line ends at CR or CRLF), keep the non-empty lines joined by CRLF,
// add CRLF and the record, write it all back followed by CRLF.
std::string FullRewrite(bool exists, const std::string& file, const std::string& record) {
  std::string buffer;
  bool first = true;
  size_t i = 0;
  while (exists && i < file.size()) {
    std::string line;
    while (i < file.size() && file[i] != '\r') line += file[i++];
    if (i < file.size()) {
      ++i;
      if (i < file.size() && file[i] == '\n') ++i;
    }
    if (line.empty()) continue;
    buffer += first ? line : "\r\n" + line;
    first = false;
  }
  return buffer + "\r\n" + record + "\r\n";
}

struct LogsFixture : ::testing::Test {
  fakes::MemoryFileSystem fs;
  Cp1252Codec codec;
  fakes::FixedClock clock;
  PtBrDateFormat dates;
  LogsFixture() {
    fs.AddDir("C:\\Solvane");
    fs.AddDir(kApp);
    fs.AddDir(kApp + "\\Logs");
  }
  MonitorLogs Logs() { return MonitorLogs(LogContext{fs, codec, clock, dates, kApp}); }
};

TEST_F(LogsFixture, TheFirstRecordOfANewFileFollowsAnEmptyLine) {
  auto logs = Logs();
  logs.FormataRichTextBox("Sem conexão com a internet.", kCorAzul, false);
  EXPECT_EQ(fs.Get(kFormatted), "\r\n06/12/2026 05:55:04 False 16711680    Sem conex\xE3o com a internet.\r\n");
  EXPECT_EQ(fs.Get(kGeneral),
            "\r\n06/12/2026 05:55:04 - QuarnSQLServiceMonitor - False 16711680    Sem conex\xE3o com a internet.\r\n");
}

TEST_F(LogsFixture, BoldAndColourArePaddedToTheirWidths) {
  EXPECT_EQ(BuildLogRecord("S", " ", "m", 255, true), "S True  255         m");
  EXPECT_EQ(BuildLogRecord("S", " ", "m", -1, false), "S False -1          m");
  EXPECT_EQ(BuildLogRecord("S", " ", "m", 0, false), "S False 0           m");
  EXPECT_EQ(BuildLogRecord("S", " ", "", INT32_MIN, false), "S False -2147483648 ");
}

TEST_F(LogsFixture, TheNextAppendDropsEveryEmptyLineAndKeepsTheOrder) {
  fs.Put(kFormatted, "\r\nA\r\n\r\n\r\nB\r\rC\r\n");
  auto logs = Logs();
  logs.FormataRichTextBox("D", 0, false);
  EXPECT_EQ(fs.Get(kFormatted), "A\r\nB\r\nC\r\n06/12/2026 05:55:04 False 0           D\r\n");
}

TEST_F(LogsFixture, AMessageWithALineBreakStaysTwoLinesAfterLaterAppends) {
  auto logs = Logs();
  logs.SalvaLogGeral("linha 1\r\nlinha 2", kCorVermelha, false);
  clock.AddSeconds(1);
  logs.SalvaLogGeral("depois", 0, false);
  EXPECT_EQ(fs.Get(kGeneral),
            "06/12/2026 05:55:04 - QuarnSQLServiceMonitor - False 255         linha 1\r\n"
            "linha 2\r\n"
            "06/12/2026 05:55:05 - QuarnSQLServiceMonitor - False 0           depois\r\n");
}

TEST_F(LogsFixture, LoneLineFeedsAndNonAsciiBytesPassThrough) {
  fs.Put(kGeneral, "x\ny\r\n\xE9\xFF\r\n");
  auto logs = Logs();
  logs.SalvaLogGeral("é", 0, false);
  EXPECT_EQ(fs.Get(kGeneral),
            "x\ny\r\n\xE9\xFF\r\n06/12/2026 05:55:04 - QuarnSQLServiceMonitor - False 0           \xE9\r\n");
}

TEST_F(LogsFixture, AppendingToANormalFileReadsItOnceAndThenOnlyWrites) {
  auto logs = Logs();
  logs.SalvaLogGeral("first", 0, false);
  logs.SalvaLogGeral("second", 0, false);  // reads the new file: it starts with an empty line
  const uint64_t readAfterTwo = fs.bytesRead;
  for (int i = 0; i < 500; ++i) logs.SalvaLogGeral("record " + std::to_string(i), kCorAzul, false);
  EXPECT_EQ(fs.bytesRead, readAfterTwo);
  EXPECT_EQ(SplitLines(fs.Get(kGeneral)).size(), 502u);
}

TEST_F(LogsFixture, AFileChangedByAnotherProgramIsReadAgain) {
  auto logs = Logs();
  logs.SalvaLogGeral("a", 0, false);
  logs.SalvaLogGeral("b", 0, false);
  fs.Put(kGeneral, fs.Get(kGeneral) + "\r\n\r\nedited\r\n");
  logs.SalvaLogGeral("c", 0, false);
  const auto lines = SplitLines(fs.Get(kGeneral));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2], "edited");
}

TEST_F(LogsFixture, TheGeneralLogRotatesBeforeItOutgrowsItsBound) {
  const std::string big(MonitorLogs::kGeneralLogMaxBytes - 40, 'x');
  fs.Put(kGeneral, big + "\r\n");
  auto logs = Logs();
  logs.SalvaLogGeral("rotated", 0, false);
  EXPECT_EQ(fs.Get(kApp + "\\Logs\\LogGeralMonitor.1.INI"), big + "\r\n");
  EXPECT_EQ(fs.Get(kGeneral), "\r\n06/12/2026 05:55:04 - QuarnSQLServiceMonitor - False 0           rotated\r\n");
  // Rotating again replaces the older generation.
  fs.Put(kGeneral, big + "\r\n");
  logs.SalvaLogGeral("again", 0, false);
  EXPECT_EQ(fs.Get(kApp + "\\Logs\\LogGeralMonitor.1.INI"), big + "\r\n");

  // A viewer holds the log without delete sharing: records still go in, and
  // the rotation happens once it lets go.
  fs.Put(kGeneral, big + "\r\n");
  bool held = true;
  fs.beforeChange = [&](const std::string& op, const std::string&, const std::string&) {
    if (held && op == "Rename") throw FileError(kErrPermissionDenied);
  };
  logs.SalvaLogGeral("held", 0, false);
  EXPECT_NE(fs.Get(kGeneral).find("held"), std::string::npos);
  held = false;
  logs.SalvaLogGeral("released", 0, false);
  EXPECT_NE(fs.Get(kApp + "\\Logs\\LogGeralMonitor.1.INI").find("held"), std::string::npos);
  EXPECT_EQ(SplitLines(fs.Get(kGeneral)).back(),
            "06/12/2026 05:55:04 - QuarnSQLServiceMonitor - False 0           released");
}

// The formatted log and the error log keep one older generation, as the
// general log does; in each, a line repeating the one before within a minute
// is held back and counted once another line comes.
TEST_F(LogsFixture, EveryLogRotatesAtItsBoundAndRepeatsAreCounted) {
  struct Row {
    std::string path, older;
    uint64_t bound;
    std::function<void(MonitorLogs&, const std::string&)> write;
  };
  const Row rows[] = {
      {kFormatted, kApp + "\\Logs\\FormataRichTextBoxServiceMonitor.1.INI", MonitorLogs::kFormattedLogMaxBytes,
       [](MonitorLogs& l, const std::string& m) { l.FormataRichTextBox(m, 0, false); }},
      {kError, kApp + "\\ErrorQuarn.1.ini", MonitorLogs::kErrorLogMaxBytes,
       [](MonitorLogs& l, const std::string& m) { l.SalvaLogErro("06/12/2026 05:55:04 | Teste | " + m); }},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.path);
    auto logs = Logs();
    const std::string big(r.bound - 30, 'x');  // one record past the bound with its stamp
    r.write(logs, big);
    r.write(logs, "depois");
    EXPECT_NE(fs.Get(r.older).find(big), std::string::npos);
    EXPECT_EQ(fs.Get(r.path).find(big), std::string::npos);
    EXPECT_NE(fs.Get(r.path).find("depois"), std::string::npos);
    EXPECT_FALSE(fs.Has(r.path + ".tmp"));
    for (int i = 0; i < 3; ++i) r.write(logs, "de novo");
    r.write(logs, "outra");
    clock.AddSeconds(RepeatFilter::kWindowSeconds);
    r.write(logs, "outra");  // a minute on: written again
    const std::string text = codec.FromAnsi(fs.Get(r.path));
    EXPECT_EQ(text.find("de novo"), text.rfind("de novo"));
    EXPECT_NE(text.find("Última mensagem repetida 2 vezes."), std::string::npos);
    EXPECT_LT(text.find("Última mensagem repetida"), text.find("outra"));
    EXPECT_NE(text.find("outra"), text.rfind("outra"));
  }
}

TEST_F(LogsFixture, WriteFailuresRiseToTheCaller) {
  fs.dirs.erase(fakes::Key(kApp + "\\Logs"));
  auto logs = Logs();
  try {
    logs.FormataRichTextBox("x", 0, false);
    FAIL() << "no error raised";
  } catch (const VbError& e) {
    EXPECT_EQ(e.Number(), 76);
  }
  fs.AddDir(kApp + "\\Logs");
  fs.Put(kGeneral, "locked\r\n");
  fs.locked.insert(fakes::Key(kGeneral));
  EXPECT_THROW(logs.SalvaLogGeral("x", 0, false), VbError);
}

TEST_F(LogsFixture, TheErrorLogHoldsThisRunsErrorsAfterAnEmptyLine) {
  fs.Put(kError, "\r\nold run\r\n");
  {
    auto logs = Logs();
    logs.SalvaLogErro("primeiro");
    clock.now = LocalTime{2026, 12, 7, 0, 0, 0};
    logs.SalvaLogErro("segundo");
    EXPECT_EQ(fs.Get(kError), "\r\n06/12/2026 05:55:04 - primeiro\r\n07/12/2026 - segundo\r\n");
  }
  auto restarted = Logs();
  restarted.SalvaLogErro("terceiro ç");
  EXPECT_EQ(fs.Get(kError), "\r\n07/12/2026 - terceiro \xE7\r\n");
}

// The short path must leave exactly the bytes the full rewrite leaves, whatever
// the messages hold and whatever other programs do to the file in between.
TEST_F(LogsFixture, AppendsMatchTheFullRewriteByteForByte) {
  std::mt19937 rng(20261207);
  const std::vector<std::string> pieces = {"a", "b", " ", "\xE3", "\r", "\n", "\r\n", "ok", "\r\n\r\n", "z"};
  auto randomText = [&](int maxPieces) {
    std::string s;
    const int n = static_cast<int>(rng() % static_cast<unsigned>(maxPieces + 1));
    for (int i = 0; i < n; ++i) {
      // Mostly plain text, so that the short path is taken often.
      static const size_t plain[] = {0, 1, 2, 3, 7, 9};
      const size_t k = rng() % 10 < 8 ? plain[rng() % 6] : rng() % pieces.size();
      s += pieces[k];
    }
    return s;
  };

  for (int round = 0; round < 200; ++round) {
    fakes::MemoryFileSystem drive;
    drive.AddDir("C:\\L");
    const std::string path = "C:\\L\\log.ini";
    LogAppender appender(drive);
    std::string expected;
    bool exists = false;
    for (int step = 0; step < 60; ++step) {
      const unsigned what = rng() % 20;
      if (what == 0) {
        expected = randomText(6);
        drive.Put(path, expected);
        exists = true;
      } else if (what == 1 && exists) {
        expected += randomText(3);
        drive.Put(path, expected);
      } else if (what == 2 && exists) {
        drive.Delete(path);
        exists = false;
      } else {
        const std::string record = randomText(5);
        expected = FullRewrite(exists, expected, record);
        appender.Append(path, record);
        exists = true;
        ASSERT_EQ(drive.Get(path), expected) << "round " << round << " step " << step;
      }
    }
  }
}

TEST(LogNormalForm, OnlyNonEmptyCrLfLines) {
  EXPECT_TRUE(IsNormalForm("a\r\nb\r\n"));
  EXPECT_TRUE(IsNormalForm("a\nb\r\n\n\r\n"));
  EXPECT_FALSE(IsNormalForm(""));
  EXPECT_FALSE(IsNormalForm("\r\n"));
  EXPECT_FALSE(IsNormalForm("\r\na\r\n"));
  EXPECT_FALSE(IsNormalForm("a\r\n\r\nb\r\n"));
  EXPECT_FALSE(IsNormalForm("a\rb\r\n"));
  EXPECT_FALSE(IsNormalForm("a\r\nb"));
  EXPECT_FALSE(IsNormalForm("a\r\nb\n"));
}

}  // namespace
}  // namespace quarn
