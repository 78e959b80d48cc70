#include "common/errors.h"

namespace quarn {

VbError FileError(long number) {
  switch (number) {
    case kErrFileNotFound: return VbError(number, "Arquivo não encontrado");
    case kErrDiskFull: return VbError(number, "Disco cheio");
    case kErrPermissionDenied: return VbError(number, "Permissão negada");
    case kErrPathNotFound: return VbError(number, "Caminho não encontrado");
    default: return VbError(kErrPathFileAccess, "Erro de acesso a caminho/arquivo");
  }
}

}  // namespace quarn
