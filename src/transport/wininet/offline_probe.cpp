// The Internet Explorer offline probe, and the system-directory loader that
// every run-time binding of this program goes through.
#include "transport/wininet/offline_probe.h"

#include "download/log_progress.h"

#include <wininet.h>

#include <string>

HMODULE LoadSystemLibrary(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0) return nullptr;
    if (length >= MAX_PATH) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return nullptr;
    }
    std::wstring path(folder, length);
    path += L'\\';
    path += name;
    return LoadLibraryW(path.c_str());
}

bool IEOffline() {
    // Its own reference, never released: the probe is independent of the
    // context's binding and may run before one exists.
    HMODULE wininet = LoadSystemLibrary(L"wininet.dll");
    if (!wininet) {
        LogLine(L"PULLAR: IEOffline: LoadLibrary( wininet.dll ) returned 0x%08X", GetLastError());
        return false;
    }
    auto query = reinterpret_cast<decltype(&::InternetQueryOptionW)>(
        reinterpret_cast<void*>(GetProcAddress(wininet, "InternetQueryOptionW")));
    if (!query) {
        LogLine(L"PULLAR: IEOffline: GetProcAddress( InternetQueryOption ) returned 0x%08X",
                GetLastError());
        return false;
    }
    DWORD state = 0;
    DWORD length = sizeof state;
    if (!query(nullptr, INTERNET_OPTION_CONNECTED_STATE, &state, &length)) {
        LogLine(L"PULLAR: IEOffline: pfnInternetQueryOption returned 0x%08X", GetLastError());
        return false;
    }
    return (state & INTERNET_STATE_DISCONNECTED_BY_USER) != 0;
}
