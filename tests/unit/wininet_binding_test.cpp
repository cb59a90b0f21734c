// The WinInet binding against the system's own wininet.dll and advapi32.dll:
// what each proxy mode binds, the root handle it opens, and the unbinding
// done by SetProxy and the teardown.
#include "download/context.h"
#include "download/error_codes.h"
#include "transport/wininet/binding.h"
#include "transport/wininet/http_wininet.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>
#include <winternl.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// Every entry-point member, in declaration order, type-erased for counting.
std::vector<const void*> EntryPoints(const DownloadContext& c) {
    auto p = [](auto fn) { return reinterpret_cast<const void*>(fn); };
    return {p(c.InternetOpenW),       p(c.InternetCloseHandle),     p(c.InternetConnectW),
            p(c.InternetReadFile),    p(c.InternetWriteFile),       p(c.InternetSetOptionW),
            p(c.HttpOpenRequestW),    p(c.HttpAddRequestHeadersW),  p(c.HttpSendRequestW),
            p(c.HttpSendRequestExW),  p(c.HttpQueryInfoW),          p(c.LogonUserW),
            p(c.ImpersonateLoggedOnUser), p(c.RevertToSelf),        p(c.InternetQueryOptionW),
            p(c.HttpEndRequestW),     p(c.InternetGetLastResponseInfoW)};
}

size_t ResolvedCount(const DownloadContext& c) {
    size_t n = 0;
    for (const void* p : EntryPoints(c)) n += p != nullptr;
    return n;
}

std::wstring SystemPath(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    UINT n = GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder, n) + L"\\" + name;
}

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

// The proxy settings that WinInet keeps for a root handle.
struct RootProxy {
    DWORD accessType = 0xFFFFFFFF;
    std::string proxy;
};

RootProxy QueryRootProxy(DownloadContext& c) {
    RootProxy out;
    BYTE buffer[1024] = {};
    DWORD length = sizeof buffer;
    if (!c.InternetQueryOptionW(c.internetHandle, INTERNET_OPTION_PROXY, buffer, &length)) return out;
    // The wide call hands back the record with wide texts after it.
    struct ProxyInfoW {
        DWORD dwAccessType;
        const wchar_t* lpszProxy;
        const wchar_t* lpszProxyBypass;
    };
    auto* info = reinterpret_cast<ProxyInfoW*>(buffer);
    out.accessType = info->dwAccessType;
    for (const wchar_t* p = info->lpszProxy; p && *p; ++p) out.proxy += static_cast<char>(*p);
    return out;
}

}  // namespace

TEST(InitWininet, ModesWithoutRootHandleBindEverythingAndStillFail) {
    for (ProxyMode mode : {kProxyDirect, kProxySocks, kProxyInvalid, 7}) {
        for (DWORD leftOver : {DWORD{0}, DWORD{ERROR_FILE_NOT_FOUND}}) {
            DownloadContext context;
            context.proxyMode = mode;
            SetLastError(leftOver);
            DWORD code = InitWininet(context);
            EXPECT_NE(0u, code) << "mode " << mode;
            if (leftOver == 0) {
                EXPECT_EQ(kErrNoRootHandle, code) << "mode " << mode;
            }
            EXPECT_TRUE(context.wininetLoaded) << "mode " << mode;
            EXPECT_EQ(17u, ResolvedCount(context)) << "mode " << mode;
            EXPECT_EQ(nullptr, context.internetHandle) << "mode " << mode;
            ASSERT_NE(nullptr, context.wininetModule);
            ASSERT_NE(nullptr, context.advapiModule);
            // Loaded by full path from the system directory, never found
            // through the search order.
            EXPECT_EQ(0, _wcsicmp(SystemPath(L"wininet.dll").c_str(),
                                  ModulePath(context.wininetModule).c_str()));
            EXPECT_EQ(0, _wcsicmp(SystemPath(L"advapi32.dll").c_str(),
                                  ModulePath(context.advapiModule).c_str()));
        }
    }
}

TEST(InitWininet, ExplicitProxyOpensRootWithProxyText) {
    struct Case {
        const wchar_t* host;
        int port;
        const char* proxy;
    } cases[] = {
        {L"proxy.test", 8080, "proxy.test:8080"},
        {L"127.0.0.1", 3128, "127.0.0.1:3128"},
    };
    for (const Case& c : cases) {
        DownloadContext context;
        context.proxyMode = kProxyHttp;
        context.proxyHost = c.host;
        context.proxyPort = c.port;
        ASSERT_EQ(0u, InitWininet(context)) << c.proxy;
        ASSERT_NE(nullptr, context.internetHandle);
        EXPECT_EQ(17u, ResolvedCount(context));
        RootProxy root = QueryRootProxy(context);
        EXPECT_EQ(DWORD{INTERNET_OPEN_TYPE_PROXY}, root.accessType) << c.proxy;
        EXPECT_EQ(c.proxy, root.proxy);

        // Bound: a second call neither loads nor opens anything.
        HINTERNET root1 = context.internetHandle;
        HMODULE wininet = context.wininetModule;
        HMODULE advapi = context.advapiModule;
        EXPECT_EQ(0u, InitWininet(context));
        EXPECT_EQ(root1, context.internetHandle);
        EXPECT_EQ(wininet, context.wininetModule);
        EXPECT_EQ(advapi, context.advapiModule);
    }
}

TEST(InitWininet, PreconfiguredSettingsOpenRoot) {
    DownloadContext context;
    context.proxyMode = kProxyIE;
    ASSERT_EQ(0u, InitWininet(context));
    EXPECT_NE(nullptr, context.internetHandle);
    // WinInet reports the access type that the preconfigured settings
    // resolved to, never "preconfigured" itself, and no explicit proxy text
    // of ours.
    RootProxy root = QueryRootProxy(context);
    EXPECT_NE(DWORD{INTERNET_OPEN_TYPE_PRECONFIG}, root.accessType);
}

namespace {

// Loader notifications, to see when wininet.dll leaves the process relative
// to what SetProxy has written to standard output by then.
struct DllNotificationData {
    ULONG flags;
    const UNICODE_STRING* fullName;
    const UNICODE_STRING* baseName;
    void* base;
    ULONG size;
};
using DllNotification = VOID(CALLBACK*)(ULONG reason, const DllNotificationData* data, void* context);
using RegisterDllNotification = LONG(NTAPI*)(ULONG flags, DllNotification fn, void* context,
                                             void** cookie);
using UnregisterDllNotification = LONG(NTAPI*)(void* cookie);
constexpr ULONG kDllUnloaded = 2;

long long wininetUnloadedAtOffset = -1;

VOID CALLBACK OnDll(ULONG reason, const DllNotificationData* data, void*) {
    if (reason != kDllUnloaded || !data->baseName) return;
    std::wstring name(data->baseName->Buffer, data->baseName->Length / sizeof(wchar_t));
    if (_wcsicmp(name.c_str(), L"wininet.dll") == 0) wininetUnloadedAtOffset = _telli64(1);
}

}  // namespace

TEST(InitWininet, SetProxyUnbindsBeforeItLogs) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto reg = reinterpret_cast<RegisterDllNotification>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrRegisterDllNotification")));
    auto unreg = reinterpret_cast<UnregisterDllNotification>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnregisterDllNotification")));
    ASSERT_NE(nullptr, reg);
    ASSERT_NE(nullptr, unreg);

    DownloadContext context;
    context.proxyMode = kProxyHttp;
    context.proxyHost = L"127.0.0.1";
    context.proxyPort = 1;  // nothing listens: the request fails at once
    DWORD status = 0;
    std::string headers;
    TransportResult result =
        HttpGetWininet(context, L"http://127.0.0.1/a.cab", nullptr, status, headers);
    EXPECT_TRUE(result == kTransportNoConnection || result == kTransportTransient) << result;
    EXPECT_NE(0u, status);
    ASSERT_TRUE(context.wininetLoaded);
    ASSERT_NE(nullptr, GetModuleHandleW(L"wininet.dll"));

    // Standard output into a file for the length of the call.
    wchar_t folder[MAX_PATH], file[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"wib", 0, file);
    std::fflush(stdout);
    int saved = _dup(1);
    int fd = _wopen(file, _O_WRONLY | _O_TRUNC | _O_BINARY);
    ASSERT_GE(fd, 0);
    _dup2(fd, 1);
    _close(fd);
    void* cookie = nullptr;
    ASSERT_EQ(0, reg(0, OnDll, nullptr, &cookie));
    wininetUnloadedAtOffset = -1;

    context.SetProxy(L"proxy.test", kProxyHttp, 8080);

    unreg(cookie);
    std::fflush(stdout);
    long long written = _telli64(1);
    _dup2(saved, 1);
    _close(saved);
    DeleteFileW(file);

    EXPECT_FALSE(context.wininetLoaded);
    EXPECT_EQ(nullptr, context.internetHandle);
    EXPECT_EQ(nullptr, context.wininetModule);
    EXPECT_EQ(nullptr, context.advapiModule);
    EXPECT_EQ(nullptr, GetModuleHandleW(L"wininet.dll"));
    EXPECT_GT(written, 0) << "SetProxy logged nothing";
    EXPECT_EQ(0, wininetUnloadedAtOffset) << "wininet.dll left after " << wininetUnloadedAtOffset
                                          << " bytes of SetProxy's lines";
    // The entry points stay resolved; the next request binds anew, now with
    // the new proxy.
    EXPECT_EQ(17u, ResolvedCount(context));
    ASSERT_EQ(0u, InitWininet(context));
    EXPECT_EQ("proxy.test:8080", QueryRootProxy(context).proxy);
}

TEST(InitWininet, TeardownReleasesBinding) {
    {
        DownloadContext context;
        context.proxyMode = kProxyHttp;
        context.proxyHost = L"127.0.0.1";
        context.proxyPort = 3128;
        ASSERT_EQ(0u, InitWininet(context));
        context.ReleaseTransports();
        EXPECT_FALSE(context.wininetLoaded);
        EXPECT_EQ(nullptr, context.internetHandle);
        EXPECT_EQ(nullptr, context.wininetModule);
        EXPECT_EQ(nullptr, context.advapiModule);
        // A failed binding (no root handle) is released the same way.
        context.proxyMode = kProxyDirect;
        EXPECT_NE(0u, InitWininet(context));
    }
    EXPECT_EQ(nullptr, GetModuleHandleW(L"wininet.dll"));
}
