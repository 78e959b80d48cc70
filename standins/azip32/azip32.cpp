// AZIP32.DLL: the compression library the suite carries beside its programs.
// Nothing registers it and nothing here needs registering; it answers its
// version so a caller that binds it can tell it loaded the right file.
#include <windows.h>

namespace {
constexpr short kVersao = 100;  // 1.00
}

extern "C" short WINAPI addZIP_Version(void) { return kVersao; }
