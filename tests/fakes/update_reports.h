#pragma once
// What the monitor's formatted log reports of an update, as the native, the
// Wine and the end-to-end tests expect it.
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace quarn::fakes {

// One report: its colour and its text.
struct ReportLine {
  int32_t color;
  std::string text;
  friend bool operator==(const ReportLine& a, const ReportLine& b) { return a.color == b.color && a.text == b.text; }
  friend std::ostream& operator<<(std::ostream& o, const ReportLine& l) { return o << l.color << " " << l.text; }
};

// The fifteen reports of a complete update of the backup service, from the
// versions compared to the monitoring again.
inline std::vector<ReportLine> ServiceUpdateReports(const std::string& net, const std::string& local) {
  return {
      {0, "Verificando atualizações disponíveis para o Serviço QuarnSQlService."},
      {16711680, "VersaoQuarnSQLService.Net: " + net},
      {0, "VersaoQuarnSQLService.Local: " + local},
      {0, "Baixando Serviço QuarnSQLService para atualização..."},
      {0, "QuarnSQLService baixado com sucesso."},
      {16711680, "Parando o QuarnSQLService."},
      {0, "Atualizando o QuarnSQLService..."},
      {0, "Descompactando..."},
      {16711680, "Descompactado..."},
      {0, "Salvando VersaoQuarnSQLService..."},
      {16711680, "VersaoQuarnSQLService Salva..."},
      {0, "Startando Service..."},
      {16711680, "Startado Service..."},
      {0, "Uma nova versão do QuarnSQLService foi instalada."},
      {0, "Monitorando..."},
  };
}

}  // namespace quarn::fakes
