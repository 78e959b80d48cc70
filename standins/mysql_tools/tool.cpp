// MYSQL.EXE and MYSQLDUMP.EXE as the installer carries them here: stand-ins
// that say what they are and succeed, so a run of either is harmless.
#include <cstdio>

#ifndef QUARN_TOOL_NAME
#error QUARN_TOOL_NAME names the file being built
#endif

int main() {
  std::printf("%s: ferramenta de linha de comando (substituto para testes)\n", QUARN_TOOL_NAME);
  return 0;
}
