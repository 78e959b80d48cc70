#include "common/errors.h"

namespace quarn {

namespace {

struct Entry {
  long number;
  const char* text;
};

// The texts the logs show, for the numbers raised with a fixed text (a raiser
// may add detail after ": "). The others are worded where they are raised.
constexpr Entry kTexts[] = {
    {kErrOverflow, "Estouro"},
    {kErrTypeMismatch, "Tipos incompatíveis"},
    {kErrUserInterrupt, "O monitor foi parado durante a atualização"},
    {kErrFileNotFound, "Arquivo não encontrado"},
    {kErrDiskFull, "Disco cheio"},
    {kErrPastEnd, "A entrada ultrapassou o final do arquivo"},
    {kErrPermissionDenied, "Permissão negada"},
    {kErrPathFileAccess, "Erro de acesso a caminho/arquivo"},
    {kErrPathNotFound, "Caminho não encontrado"},
    {kErrBadFileFormat, "Formato de arquivo inválido"},
    {kErrRequestTimeout, "A solicitação excedeu o tempo limite"},
    {kErrStillExecuting, "Ainda executando a última solicitação"},
    {kErrManifestInvalid, "Manifesto inválido"},
    {kErrManifestProgram, "Manifesto de outro programa"},
    {kErrManifestSignature, "Assinatura do manifesto não confere com nenhuma chave confiável"},
    {kErrPublicationOlder, "Publicação mais antiga que a instalada"},
    {kErrPublicationExpired, "Publicação vencida"},
    {kErrStatementInvalid, "Declaração de publicação inválida"},
    {kErrStatementSignature, "Assinatura da declaração de publicação não confere com nenhuma chave confiável"},
    {kErrJournalInvalid, "Diário de atualização inválido"},
    {kErrBuildUnhealthy, "O novo build não ficou em execução"},
    {kErrServiceDisabled, "O serviço está desativado pelo administrador"},
    {kErrInstalledFileDamaged, "Arquivo do build instalado"},
    {kErrProbationFailed, "O novo build falhou no período de prova"},
    {kErrLoadLibraryBase, "LoadLibrary-Error"},
};

}  // namespace

const char* StandardText(long number) {
  for (const Entry& e : kTexts)
    if (e.number == number) return e.text;
  return "";
}

VbError Raise(ErrorNumber number, const std::string& detail) {
  std::string text = StandardText(number);
  if (!detail.empty()) text += ": " + detail;
  return VbError(number, text);
}

VbError FileError(long number) {
  switch (number) {
    case kErrFileNotFound:
    case kErrDiskFull:
    case kErrPermissionDenied:
    case kErrPathNotFound:
      return Raise(static_cast<ErrorNumber>(number));
    default:
      return Raise(kErrPathFileAccess);
  }
}

}  // namespace quarn
