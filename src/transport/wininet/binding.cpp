// Loads wininet.dll and advapi32.dll from the system directory, resolves the
// transport's entry points into the download context and opens the process's
// WinInet root handle with the access type of the proxy mode. Used by the
// WinInet transport before every request; the context releases the binding.
#include "transport/wininet/binding.h"

#include "download/error_codes.h"
#include "transport/wininet/offline_probe.h"

#include <cwchar>
#include <new>

namespace {

// Resolves one export into its typed member; false with the last error of
// GetProcAddress when the export is missing.
template <typename Fn>
bool Bind(HMODULE module, const char* name, Fn& slot) {
    FARPROC proc = GetProcAddress(module, name);
    if (!proc) return false;
    slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
    return true;
}

// The member is named after its export, so the one name serves for both.
#define QUARN_BIND(module, fn) Bind(module, #fn, context.fn)

bool BindWininetEntries(DownloadContext& context) {
    HMODULE m = context.wininetModule;
    // In resolution order; the chain stops at the first missing export and
    // leaves the later members untouched.
    return QUARN_BIND(m, InternetCloseHandle) && QUARN_BIND(m, InternetReadFile) &&
           QUARN_BIND(m, InternetWriteFile) && QUARN_BIND(m, InternetOpenW) &&
           QUARN_BIND(m, InternetConnectW) && QUARN_BIND(m, InternetSetOptionW) &&
           QUARN_BIND(m, HttpOpenRequestW) && QUARN_BIND(m, HttpAddRequestHeadersW) &&
           QUARN_BIND(m, HttpSendRequestW) && QUARN_BIND(m, HttpSendRequestExW) &&
           QUARN_BIND(m, HttpEndRequestW) && QUARN_BIND(m, HttpQueryInfoW) &&
           QUARN_BIND(m, InternetQueryOptionW) && QUARN_BIND(m, InternetGetLastResponseInfoW);
}

bool BindAdvapiEntries(DownloadContext& context) {
    HMODULE m = context.advapiModule;
    return QUARN_BIND(m, ImpersonateLoggedOnUser) && QUARN_BIND(m, RevertToSelf) &&
           QUARN_BIND(m, LogonUserW);
}

#undef QUARN_BIND

}  // namespace

std::wstring WininetProxyText(const std::wstring& host, int port) {
    wchar_t portText[20] = {};
    _snwprintf(portText, 19, L":%d", port);
    return host + portText;
}

DWORD NoRootHandleCode(DWORD lastError) {
    return lastError != 0 ? lastError : kErrNoRootHandle;
}

DWORD InitWininet(DownloadContext& context) {
    if (context.wininetLoaded) return 0;

    // By full path: an elevated program must not pick up a planted copy from
    // the search order.
    context.wininetModule = LoadSystemLibrary(L"wininet.dll");
    if (!context.wininetModule) return GetLastError();
    context.wininetLoaded = true;

    if (!BindWininetEntries(context)) return GetLastError();

    // The open's own error, kept because the advapi32 steps below may
    // overwrite the thread's last error before the handle is judged.
    DWORD openError = 0;
    bool rootExpected = false;
    if (context.proxyMode == kProxyIE) {
        rootExpected = true;
        context.internetHandle = context.InternetOpenW(userAgent, INTERNET_OPEN_TYPE_PRECONFIG,
                                                       nullptr, nullptr, 0);
        if (!context.internetHandle) openError = GetLastError();
    } else if (context.proxyMode == kProxyHttp) {
        rootExpected = true;
        std::wstring proxy;
        try {
            proxy = WininetProxyText(context.proxyHost, context.proxyPort);
        } catch (const std::bad_alloc&) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        context.internetHandle = context.InternetOpenW(userAgent, INTERNET_OPEN_TYPE_PROXY,
                                                       proxy.c_str(), nullptr, 0);
        if (!context.internetHandle) openError = GetLastError();
    }
    // Direct, SOCKS and unset modes have no root handle: the binding fails
    // below although no call did.

    context.advapiModule = LoadSystemLibrary(L"advapi32.dll");
    if (!context.advapiModule) return GetLastError();
    if (!BindAdvapiEntries(context)) return GetLastError();

    if (!context.internetHandle) return NoRootHandleCode(rootExpected ? openError : GetLastError());
    return 0;
}
