#pragma once
// The monitor's version: the code and the version resource both read it here.
#define QUARN_MONITOR_MAJOR 1
#define QUARN_MONITOR_MINOR 0
#define QUARN_MONITOR_REVISION 134
#define QUARN_MONITOR_VERSION_TEXT "1.0.0.134"
