// Whether the machine is online, and the machine's WinHTTP proxy.
// Winsock 2 before <windows.h>, for the adapters list of iphlpapi.
#include <winsock2.h>
#include <iphlpapi.h>

#include "monitor/win32/update_win32.h"

#include "common/errors.h"
#include "common/win32/library_search.h"
#include "common/win32/win_platform.h"

namespace quarn::win {

bool Win32Http::InternetGetConnectedState() {
  // Connected while any interface but loopback is up with an address; when
  // the system cannot say, the request itself finds out.
  try {
    const UniqueModule iphlp = SystemLibrary(L"iphlpapi.dll");
    decltype(&::GetAdaptersAddresses) adapters = nullptr;
    BindEntryPoint(adapters, iphlp.get(), "GetAdaptersAddresses", "iphlpapi.dll");
    ULONG size = 16 * 1024;
    std::string buf;
    ULONG r = ERROR_BUFFER_OVERFLOW;
    for (int i = 0; i < 3 && r == ERROR_BUFFER_OVERFLOW; ++i) {
      buf.assign(size, '\0');
      r = adapters(AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER, nullptr,
                   reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()), &size);
    }
    if (r == ERROR_NO_DATA) return false;
    if (r != NO_ERROR) return true;
    for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()); a; a = a->Next)
      if (a->OperStatus == IfOperStatusUp && a->IfType != IF_TYPE_SOFTWARE_LOOPBACK && a->FirstUnicastAddress)
        return true;
    return false;
  } catch (const VbError&) {
    return true;
  }
}

void MachineProxy(std::string& proxy, std::string& bypass) {
  proxy.clear();
  bypass.clear();
  try {
    const UniqueModule winhttp = SystemLibrary(L"winhttp.dll");
    decltype(&::WinHttpGetDefaultProxyConfiguration) get = nullptr;
    BindEntryPoint(get, winhttp.get(), "WinHttpGetDefaultProxyConfiguration", "winhttp.dll");
    WINHTTP_PROXY_INFO info{};
    if (!get(&info)) return;
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy) proxy = Narrow(info.lpszProxy);
    if (info.lpszProxy) GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass) {
      if (!proxy.empty()) bypass = Narrow(info.lpszProxyBypass);
      GlobalFree(info.lpszProxyBypass);
    }
  } catch (const VbError&) {
    // No WinHTTP to ask: no machine proxy.
  }
}

}  // namespace quarn::win
