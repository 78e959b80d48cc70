#pragma once
// What the monitor's health reports need of Windows: the folder a textfile
// collector reads and its owners (the time in UTC is win_platform's).
#include <cstdint>
#include <string>

namespace quarn::win {

// HKLM\SOFTWARE\Solvane\Quarn SQL, MetricsTextfileDirectory (REG_SZ or
// REG_EXPAND_SZ, expanded); empty when unset.
std::string MetricsTextfileDirectory();
// Only SYSTEM, Administrators, TrustedInstaller or the monitor's own account
// own and may change the folder; never a link.
bool AdministratorsOnly(const std::string& folder);

}  // namespace quarn::win
