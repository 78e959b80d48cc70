#pragma once
// The installer's version: the code and the version resource both read it here.
#define QUARN_INSTALLER_MAJOR 1
#define QUARN_INSTALLER_MINOR 0
#define QUARN_INSTALLER_REVISION 27
#define QUARN_INSTALLER_VERSION_TEXT "1.0.0.27"
