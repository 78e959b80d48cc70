// The GUI monitor's reading of the formatted log: portable, so tested here.
#include <gtest/gtest.h>

#include <string>

#include "gui_monitor/health_header.h"
#include "gui_monitor/log_records.h"
#include "fakes/log_samples.h"
#include "monitor/health.h"
#include "monitor/logs.h"

namespace quarn {
namespace {

using gui::DisplayColor;
using gui::FirstLine;
using gui::LogRecord;
using gui::ParseFormattedLog;
using gui::ParseRecordLine;
using gui::RowText;
using testlog::kStamp;
using testlog::Record;

TEST(GuiMonitorLog, RecordsAsTheMonitorWritesThemReadBackWhole) {
  struct Case {
    std::string message;
    int32_t color;
    bool bold;
  };
  const Case cases[] = {
      {"Servi\xE7o QuarnSQLService iniciado.", kCorAzul, false},
      {"Erro 1053 - O servi\xE7o n\xE3o respondeu", kCorVermelha, true},
      {"", kCorPreta, false},
      {"  recuado, com espa\xE7os no fim  ", 8421504, true},
      {"cor fora do comum", -1, false},
      {"07/12/2026 05:58:36 False 0           parece um registro", kCorPreta, false},
      {"tab\there", 2147483647, false},
      {"m\xEDnimo", -2147483647 - 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const std::string line = Record(c.message, c.color, c.bold);
    auto r = ParseRecordLine(line);
    ASSERT_TRUE(r.has_value()) << line;
    EXPECT_EQ(r->stamp, kStamp);
    EXPECT_EQ(r->bold, c.bold);
    EXPECT_EQ(r->color, c.color);
    EXPECT_EQ(r->text, c.message);
  }
  // Other locales write other separators; the columns stay where they are.
  auto dotted = ParseRecordLine(Record("ok", kCorAzul, false, "07.12.2026 05.58.36"));
  ASSERT_TRUE(dotted.has_value());
  EXPECT_EQ(dotted->stamp, "07.12.2026 05.58.36");
}

TEST(GuiMonitorLog, FixedColumnsAsLaidOutOnDisk) {
  auto red = ParseRecordLine("07/12/2026 05:58:36 True  255         Falha ao iniciar o servi\xE7o");
  ASSERT_TRUE(red.has_value());
  EXPECT_TRUE(red->bold);
  EXPECT_EQ(red->color, 255);
  EXPECT_EQ(red->text, "Falha ao iniciar o servi\xE7o");

  auto blue = ParseRecordLine("01/01/2027 00:00:01 False 16711680     Iniciado");
  ASSERT_TRUE(blue.has_value());
  EXPECT_FALSE(blue->bold);
  EXPECT_EQ(blue->color, 16711680);
  EXPECT_EQ(blue->text, " Iniciado");  // the message starts at column 38, spaces and all

  auto minusOne = ParseRecordLine("07/12/2026 05:58:36 False -1          x");
  ASSERT_TRUE(minusOne.has_value());
  EXPECT_EQ(minusOne->color, -1);

  // Exactly the head and nothing after it: a record with an empty message.
  auto empty = ParseRecordLine("07/12/2026 05:58:36 False 0           ");
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->text, "");
}

TEST(GuiMonitorLog, ColoursAsDrawn) {
  EXPECT_EQ(DisplayColor(16711680), 0xFF0000u);  // blue in 0x00BBGGRR
  EXPECT_EQ(DisplayColor(255), 0x0000FFu);       // red
  EXPECT_EQ(DisplayColor(0), 0u);
  EXPECT_EQ(DisplayColor(32768), 32768u);  // any plain colour as given
  EXPECT_EQ(DisplayColor(0xFFFFFF), 0xFFFFFFu);
  // Not a plain colour: drawn as text without a colour, black.
  EXPECT_EQ(DisplayColor(-1), 0u);
  EXPECT_EQ(DisplayColor(0x1000000), 0u);
  EXPECT_EQ(DisplayColor(-2147483647 - 1), 0u);
}

TEST(GuiMonitorLog, LinesThatAreNotRecords) {
  const char* const lines[] = {
      "",
      "linha solta de uma mensagem",
      "07/12/2026 05:58:36 True  255",            // shorter than the head: trimmed
      "07/12/2026 05:58:36 True  255        ",    // 37 characters
      "07/12/2026 05:58:36 Yes   255         x",  // bold is True or False only
      "07/12/2026 05:58:36 true  255         x",
      "07/12/2026 05:58:36 True  vermelho    x",
      "07/12/2026 05:58:36 True  2 55        x",
      "07/12/2026 05:58:36 True  +255        x",
      "07/12/2026 05:58:36 True  -           x",
      "07/12/2026 05:58:36 True  99999999999 x",  // past 32 bits
      "07/12/2026 05:58:36 True   255        x",  // colour shifted right
      "07/12/2026 05:58:36  True 255         x",  // bold shifted right
      "07/12/2026 05:58:36True  255          x",
      "7/12/2026 05:58:36 True  255          x",
      "07/12/2026 5:58:36  True  255         x",
      "07/12/2026-05:58:36 True  255         x",
      "ab/cd/efgh ij:kl:mn True  255         x",
      "07 12 2026 05 58 36 True  255         x",
  };
  for (const char* line : lines) EXPECT_FALSE(ParseRecordLine(line).has_value()) << '"' << line << '"';
}

TEST(GuiMonitorLog, ContinuationLinesBelongToTheRecordBefore) {
  const std::string bytes = Record("Erro ao baixar a atualiza\xE7\xE3o:", kCorVermelha, true) + "\r\n" +
                            "Erro 12029 - conex\xE3o recusada\r\n" + "  tente novamente\r\n" +
                            Record("Pr\xF3ximo registro", kCorAzul, false) + "\r\n";
  const gui::FormattedLog log = ParseFormattedLog(bytes);
  ASSERT_EQ(log.records.size(), 2u);
  const LogRecord& first = log.records[0];
  EXPECT_EQ(first.color, kCorVermelha);
  EXPECT_TRUE(first.bold);
  EXPECT_EQ(first.text, "Erro ao baixar a atualiza\xE7\xE3o:\nErro 12029 - conex\xE3o recusada\n  tente novamente");

  ASSERT_EQ(log.rows.size(), 4u);
  const bool heads[] = {true, false, false, true};
  const unsigned owners[] = {0, 0, 0, 1};
  const char* const texts[] = {"Erro ao baixar a atualiza\xE7\xE3o:", "Erro 12029 - conex\xE3o recusada",
                               "  tente novamente", "Pr\xF3ximo registro"};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(log.rows[i].head, heads[i]) << i;
    EXPECT_EQ(log.rows[i].record, owners[i]) << i;
    EXPECT_EQ(RowText(log, log.rows[i]), texts[i]) << i;
  }
  EXPECT_EQ(log.widestRow, std::string("Erro ao baixar a atualiza\xE7\xE3o:").size());
}

TEST(GuiMonitorLog, LineBreaksAndEmptyLines) {
  // The monitor's first record in a new file follows an empty line; empty lines
  // elsewhere carry nothing either.
  const std::string bytes =
      "\r\n" + Record("um", kCorAzul, false) + "\r\n\r\n\r\n" + Record("dois", kCorPreta, false) + "\r\n";
  gui::FormattedLog log = ParseFormattedLog(bytes);
  ASSERT_EQ(log.records.size(), 2u);
  EXPECT_EQ(log.records[0].text, "um");
  EXPECT_EQ(log.rows.size(), 2u);

  // A lone CR ends a line too; a lone LF stays in the message and breaks the
  // row only; the last line needs no terminator.
  log = ParseFormattedLog(Record("a\nb", kCorAzul, false) + "\r" + "c\r\n" + Record("fim", kCorPreta, true));
  ASSERT_EQ(log.records.size(), 2u);
  EXPECT_EQ(log.records[0].text, "a\nb\nc");
  ASSERT_EQ(log.rows.size(), 4u);
  EXPECT_EQ(RowText(log, log.rows[1]), "b");
  EXPECT_FALSE(log.rows[1].head);
  EXPECT_EQ(log.records[1].text, "fim");
  EXPECT_TRUE(log.records[1].bold);

  // A message ending in a line break opens no empty row after it; an empty
  // message still has its row, for the time stamp.
  log = ParseFormattedLog(Record("com quebra\n", kCorAzul, false) + "\r\n" + Record("", kCorPreta, false));
  ASSERT_EQ(log.rows.size(), 2u);
  EXPECT_EQ(RowText(log, log.rows[0]), "com quebra");
  EXPECT_TRUE(log.rows[1].head);
  EXPECT_EQ(RowText(log, log.rows[1]), "");

  EXPECT_TRUE(ParseFormattedLog("").records.empty());
  EXPECT_TRUE(ParseFormattedLog("\r\n\r\n").rows.empty());
}

TEST(GuiMonitorLog, TextBeforeAnyRecordIsShownAsItIs) {
  // A file cut at the front, or not written by the monitor at all.
  const gui::FormattedLog log =
      ParseFormattedLog("registro cortado no meio\r\nlixo \xFF\x01\r\n" + Record("inteiro", kCorVermelha, false));
  ASSERT_EQ(log.records.size(), 2u);
  EXPECT_EQ(log.records[0].stamp, "");
  EXPECT_EQ(log.records[0].color, gui::kDefaultColor);
  EXPECT_FALSE(log.records[0].bold);
  EXPECT_EQ(log.records[0].text, "registro cortado no meio\nlixo \xFF\x01");
  EXPECT_EQ(log.records[1].text, "inteiro");
  EXPECT_EQ(log.rows.size(), 3u);
}

TEST(GuiMonitorLog, FirstLineOfAStatusFile) {
  EXPECT_EQ(FirstLine("07/12/2026 05:58:36\r\n"), "07/12/2026 05:58:36");
  EXPECT_EQ(FirstLine("\r\n7.1  \r\nlixo\r\n"), "7.1");
  EXPECT_EQ(FirstLine("sem fim de linha"), "sem fim de linha");
  EXPECT_EQ(FirstLine(""), "");
  EXPECT_EQ(FirstLine("\r\n\r\n"), "");
}

// The header read from the metrics file as the monitor writes it.
TEST(GuiMonitorHealth, GreenAmberOrRedFromTheSuitesFiles) {
  constexpr int64_t kNow = 1796536504;
  auto metrics = [&](int32_t state, int32_t checkResult, bool crashLoop, bool held = false) {
    HealthSnapshot s;
    s.monitorStartUtc = kNow - 3600;
    s.backupServiceState = state;
    s.crashLoop = crashLoop;
    if (crashLoop) {
      s.backoffSeconds = 16;
      s.nextStartUtc = kNow + 9;
    }
    s.programs = {{"QuarnSQLServiceMonitor", "1.0.0.134"},
                  {"QuarnSQLService", "2.0", kNow - 120, checkResult, std::nullopt, held, kNow + 3000}};
    return FormatMetrics(s);
  };
  struct Case {
    const char* what;
    std::optional<std::string> metrics;
    std::optional<int64_t> heartbeatAge;
    gui::HealthLevel level;
  };
  const Case cases[] = {
      {"healthy", metrics(4, 0, false), 20, gui::HealthLevel::Green},
      {"stopped", metrics(1, 0, false), 20, gui::HealthLevel::Red},
      {"starting", metrics(2, 0, false), 20, gui::HealthLevel::Amber},
      {"crash loop", metrics(4, 0, true), 20, gui::HealthLevel::Red},
      {"update refused", metrics(4, 7105, false), 20, gui::HealthLevel::Red},
      {"new build failed its probation", metrics(4, 7117, false), 20, gui::HealthLevel::Red},
      {"publication held", metrics(4, 0, false, true), 20, gui::HealthLevel::Amber},
      {"update server unreachable", metrics(4, 12029, false), 20, gui::HealthLevel::Amber},
      {"heartbeat late", metrics(4, 0, false), 10 * 60, gui::HealthLevel::Amber},
      {"heartbeat stale", metrics(4, 0, false), 50 * 60, gui::HealthLevel::Red},
      {"no heartbeat", metrics(4, 0, false), std::nullopt, gui::HealthLevel::Red},
      {"no metrics file", std::nullopt, 20, gui::HealthLevel::Red},
  };
  for (const Case& c : cases) {
    const gui::HealthHeader h = gui::HeaderFor({c.metrics, c.heartbeatAge, "07/12/2026 05:58:36", kNow});
    EXPECT_EQ(h.level, c.level) << c.what << ": " << h.text;
  }
  EXPECT_EQ(gui::HeaderFor({metrics(4, 0, false), 20, "07/12/2026 05:58:36", kNow}).text,
            "Servi\xC3\xA7o de backup: em execu\xC3\xA7\xC3\xA3o  \xC2\xB7  batimento h\xC3\xA1 20 s  \xC2\xB7  "
            "\xC3\xBAltimo backup: 07/12/2026 05:58:36\natualiza\xC3\xA7\xC3\xA3o QuarnSQLService h\xC3\xA1 2 min: ok"
            "  \xC2\xB7  QuarnSQLServiceMonitor 1.0.0.134, QuarnSQLService 2.0");
  EXPECT_NE(gui::HeaderFor({metrics(1, 0, true), 20, "", kNow})
                .text.find("para logo depois de cada in\xC3\xAD"
                           "cio, espera de 16 s, pr\xC3\xB3ximo in\xC3\xAD"
                           "cio em 9 s"),
            std::string::npos);
  EXPECT_NE(gui::HeaderFor({metrics(4, 0, false, true), 20, "", kNow})
                .text.find("publica\xC3\xA7\xC3\xA3o QuarnSQLService retida, nova tentativa em 50 min"),
            std::string::npos);
}

}  // namespace
}  // namespace quarn
