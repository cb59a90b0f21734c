// The download context against the real system: proxy settings and the lines
// they print, the Basic token, the unbinding of WinInet and the teardown of
// Winsock. Log lines are read back from standard output redirected to a file.
#include "download/context.h"
#include "download/log_progress.h"
#include "transport/wininet/offline_probe.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <winsock2.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

// Runs body with file descriptor 1 on a text-mode file, as standard output is
// by default, and returns the bytes written. Nothing may assert inside body:
// GoogleTest's own messages go to standard output too.
template <typename Body>
std::string CaptureStdout(Body body) {
    wchar_t folder[MAX_PATH];
    wchar_t path[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"log", 0, path);
    std::fflush(stdout);
    int saved = _dup(1);
    int file = _wopen(path, _O_WRONLY | _O_TRUNC | _O_TEXT, _S_IREAD | _S_IWRITE);
    _dup2(file, 1);
    _close(file);
    body();
    std::fflush(stdout);
    _dup2(saved, 1);
    _close(saved);
    std::string text;
    if (FILE* in = _wfopen(path, L"rb")) {
        char chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0) text.append(chunk, n);
        std::fclose(in);
    }
    DeleteFileW(path);
    return text;
}

std::unique_ptr<DownloadContext> NewContext() {
    std::unique_ptr<DownloadContext> context;
    CaptureStdout([&] { context = std::make_unique<DownloadContext>(); });
    return context;
}

template <typename F>
F Bind(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

// First in this program: it needs wininet.dll not yet loaded, and the
// offline probe of later tests keeps a reference for good.
TEST(DownloadContextBinding, SetProxyClosesRootHandleAndFreesBothLibraries) {
    ASSERT_EQ(nullptr, GetModuleHandleW(L"wininet.dll"));
    auto context = NewContext();
    // A binding as the WinInet transport leaves it, plus a reference of the
    // test's own that keeps the library mapped to look at the handle later.
    HMODULE own = LoadSystemLibrary(L"wininet.dll");
    ASSERT_NE(nullptr, own);
    auto query = Bind<decltype(&::InternetQueryOptionW)>(own, "InternetQueryOptionW");
    context->wininetModule = LoadSystemLibrary(L"wininet.dll");
    context->advapiModule = LoadSystemLibrary(L"advapi32.dll");
    context->InternetOpenW = Bind<decltype(&::InternetOpenW)>(context->wininetModule, "InternetOpenW");
    context->InternetCloseHandle =
        Bind<decltype(&::InternetCloseHandle)>(context->wininetModule, "InternetCloseHandle");
    ASSERT_TRUE(context->InternetOpenW && context->InternetCloseHandle && context->advapiModule);
    HINTERNET root = context->InternetOpenW(userAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    ASSERT_NE(nullptr, root);
    context->internetHandle = root;
    context->wininetLoaded = true;
    DWORD type = 0;
    DWORD length = sizeof type;
    ASSERT_TRUE(query(root, INTERNET_OPTION_HANDLE_TYPE, &type, &length));

    std::string log = CaptureStdout([&] { context->SetProxy(L"proxy.test", kProxyHttp, 0); });

    EXPECT_FALSE(context->wininetLoaded);
    EXPECT_EQ(nullptr, context->internetHandle);
    EXPECT_EQ(nullptr, context->wininetModule);
    EXPECT_EQ(nullptr, context->advapiModule);
    EXPECT_NE(nullptr, context->InternetCloseHandle) << "entry points stay once resolved";
    length = sizeof type;
    EXPECT_FALSE(query(root, INTERNET_OPTION_HANDLE_TYPE, &type, &length));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError()) << "root handle still open";
    FreeLibrary(own);
    EXPECT_EQ(nullptr, GetModuleHandleW(L"wininet.dll")) << "the context's reference was not freed";
    EXPECT_EQ("PULLAR: Proxy proxy.test:8080\r\n"
              "PULLAR: Type: standard HTTP proxy (rfc2616,2617)\r\n"
              "PULLAR: Auth: no authentication\r\n",
              log);
}

TEST(DownloadContext, ConstructionDefaultsAndFirstLine) {
    std::unique_ptr<DownloadContext> context;
    std::string log = CaptureStdout([&] { context = std::make_unique<DownloadContext>(); });
    EXPECT_EQ("PULLAR: Agent=Pullar/5.00 (unknown)\r\n", log);
    EXPECT_EQ(std::wstring(L"Pullar/5.00 (unknown)"), userAgent);
    EXPECT_EQ(kProxyIE, context->proxyMode) << "wininet.dll is on this system's search path";
    EXPECT_EQ(kAuthNone, context->authMode);
    EXPECT_EQ(&PipeProgressCallback, context->progressCallback);
    EXPECT_FALSE(context->wininetLoaded || context->winsockStarted || context->useNtlm);
}

TEST(DownloadContext, SetProxyTable) {
    const std::string kNoAuth = "PULLAR: Auth: no authentication\r\n";
    struct Case {
        const char* name;
        bool preset;  // earlier SetProxy(L"old.test", 2, 81) and a refined authMode 1
        bool useNtlm;
        const wchar_t* host;
        ProxyMode mode;
        int port;
        ProxyMode wantMode;
        AuthMode wantAuth;
        const wchar_t* wantHost;
        int wantPort;
        std::string wantLog;
    } cases[] = {
        {"http default port", false, false, L"proxy.test", kProxyHttp, 0, kProxyHttp, kAuthNone,
         L"proxy.test", 8080,
         "PULLAR: Proxy proxy.test:8080\r\nPULLAR: Type: standard HTTP proxy (rfc2616,2617)\r\n" + kNoAuth},
        {"http given port", false, false, L"proxy.test", kProxyHttp, 3128, kProxyHttp, kAuthNone,
         L"proxy.test", 3128,
         "PULLAR: Proxy proxy.test:3128\r\nPULLAR: Type: standard HTTP proxy (rfc2616,2617)\r\n" + kNoAuth},
        {"socks default port", false, false, L"proxy.test", kProxySocks, 0, kProxySocks, kAuthNone,
         L"proxy.test", 1080,
         "PULLAR: Proxy proxy.test:1080\r\nPULLAR: Type: SOCKS proxy (rfc1928,1929)\r\n" + kNoAuth},
        {"invalid mode keeps port 0", false, false, L"proxy.test", kProxyInvalid, 0, kProxyInvalid,
         kAuthNone, L"proxy.test", 0, "PULLAR: Proxy proxy.test:0\r\nPULLAR: Type: Invalid\r\n" + kNoAuth},
        {"null host keeps host and port", true, false, nullptr, kProxyHttp, 0, kProxyHttp, kAuthNone,
         L"old.test", 81,
         "PULLAR: Proxy old.test:81\r\nPULLAR: Type: standard HTTP proxy (rfc2616,2617)\r\n" + kNoAuth},
        {"direct keeps host, still prints it", true, false, L"new.test", kProxyDirect, 99, kProxyDirect,
         kAuthNone, L"old.test", 81, "PULLAR: Proxy old.test:81\r\nPULLAR: Type: no proxy\r\n" + kNoAuth},
        {"unknown mode 7", true, false, L"new.test", 7, 99, 7, kAuthNone, L"old.test", 81,
         "PULLAR: Proxy old.test:81\r\nPULLAR: Type: Invalid\r\n" + kNoAuth},
        {"empty host is a host", true, false, L"", kProxyHttp, 0, kProxyHttp, kAuthNone, L"", 8080,
         "PULLAR: Type: standard HTTP proxy (rfc2616,2617)\r\n" + kNoAuth},
        // This system's Internet Explorer state is online (the probe reads 1).
        {"IE settings online", false, false, nullptr, kProxyIE, 0, kProxyIE, kAuthOther, L"", 0,
         "PULLAR: Type: use IE settings\r\nPULLAR: Auth: another authentication, use WinInet\r\n"},
        {"NTLM whatever authMode", false, true, nullptr, kProxyIE, 0, kProxyIE, kAuthOther, L"", 0,
         "PULLAR: Type: use IE settings\r\nPULLAR: Auth: NTLM\r\n"},
        {"NTLM with auth 0", false, true, L"proxy.test", kProxyHttp, 0, kProxyHttp, kAuthNone,
         L"proxy.test", 8080,
         "PULLAR: Proxy proxy.test:8080\r\nPULLAR: Type: standard HTTP proxy (rfc2616,2617)\r\n"
         "PULLAR: Auth: NTLM\r\n"},
    };
    for (const Case& c : cases) {
        auto context = NewContext();
        if (c.preset) {
            CaptureStdout([&] { context->SetProxy(L"old.test", kProxyHttp, 81); });
            context->authMode = kAuthBasic;
        }
        context->useNtlm = c.useNtlm;
        std::string log = CaptureStdout([&] { context->SetProxy(c.host, c.mode, c.port); });
        EXPECT_EQ(c.wantMode, context->proxyMode) << c.name;
        EXPECT_EQ(c.wantAuth, context->authMode) << c.name;
        EXPECT_EQ(std::wstring(c.wantHost), context->proxyHost) << c.name;
        EXPECT_EQ(c.wantPort, context->proxyPort) << c.name;
        EXPECT_EQ(c.wantLog, log) << c.name;
    }
}

// No real offline state can be set on this system (see the report of the
// probe): the probe answers from the system, online here.
TEST(DownloadContext, OfflineProbeAnswersOnlineWithoutLogging) {
    bool offline = true;
    std::string log = CaptureStdout([&] { offline = IEOffline(); });
    EXPECT_FALSE(offline);
    EXPECT_EQ("", log);
}

TEST(DownloadContext, CredentialsTokenTable) {
    struct Case {
        const wchar_t* user;
        const wchar_t* password;
        const char* token;  // Base64 of the narrowed "user:password"
    } cases[] = {
        {nullptr, nullptr, "Og=="},                        // ":"
        {L"alice", L"secret", "YWxpY2U6c2VjcmV0"},         // "alice:secret"
        {L"DOM\\bob", L"", "RE9NXGJvYjo="},                // "DOM\bob:"
        {L"j\x00e9r", L"p", "aulyOnA="},                   // bytes 6A E9 72 3A 70
        {L"al\x0100ice", L"secret", "YWw="},               // "al": no colon, no password
        {L"\x4e2d", L"secret", ""},                        // nothing before the cut
        {L"bob", L"p\x4e2dw", "Ym9iOnA="},                 // "bob:p"
    };
    for (const Case& c : cases) {
        auto context = NewContext();
        context->proxyAuthToken = "stale";
        context->SetProxyCredentials(c.user, c.password);
        EXPECT_EQ(c.token, context->proxyAuthToken) << c.token;
        EXPECT_EQ(std::wstring(c.user ? c.user : L""), context->proxyUser) << c.token;
        EXPECT_EQ(std::wstring(c.password ? c.password : L""), context->proxyPassword) << c.token;
    }
}

TEST(DownloadContext, LoginLineOnlyAfterCredentialsAndNeverThePassword) {
    auto context = NewContext();
    std::string before = CaptureStdout([&] { context->SetProxy(L"proxy.test", kProxyHttp, 3128); });
    context->authMode = kAuthBasic;
    context->SetProxyCredentials(L"alice", L"s3cr3t-pw");
    EXPECT_EQ(kAuthBasic, context->authMode) << "credentials leave authMode alone";
    std::string after = CaptureStdout([&] { context->SetProxy(L"proxy.test", kProxyHttp, 3128); });
    EXPECT_EQ(std::string::npos, before.find("l/p"));
    EXPECT_EQ("PULLAR: Proxy proxy.test:3128\r\n"
              "PULLAR: Type: standard HTTP proxy (rfc2616,2617)\r\n"
              "PULLAR: Auth: no authentication\r\n"
              "PULLAR: Proxy l/p: alice/***\r\n",
              after);
    EXPECT_EQ(std::string::npos, (before + after).find("s3cr3t"));
}

TEST(Base64Encode, Table) {
    struct Case {
        const char* in;
        DWORD length;
        const char* out;
    } cases[] = {
        {"", 0, ""},           {"M", 1, "TQ=="},      {"Ma", 2, "TWE="},
        {"Man", 3, "TWFu"},    {"\xfb\xff\xbf", 3, "+/+/"},  // both ends of the alphabet
        {"any carnal pleas", 16, "YW55IGNhcm5hbCBwbGVhcw=="},
    };
    for (const Case& c : cases) {
        const size_t size = (c.length + 2) / 3 * 4 + 1;
        char out[64];
        std::memset(out, '#', sizeof out);
        Base64Encode(out, reinterpret_cast<const unsigned char*>(c.in), c.length);
        EXPECT_EQ(std::string(c.out), std::string(out)) << c.out;
        EXPECT_EQ('\0', out[size - 1]) << c.out;
        EXPECT_EQ('#', out[size]) << c.out << ": wrote past the stated size";
    }
}

TEST(DownloadContextTeardown, WinsockOnlyRunCleansUpOnce) {
    // Two starts of our own: one cleanup by the teardown must leave exactly
    // one, so that a missing and a doubled cleanup both show.
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(1, 0), &data));
    ASSERT_EQ(0, WSAStartup(MAKEWORD(1, 0), &data));
    {
        auto context = NewContext();
        context->winsockStarted = true;
        context->ReleaseTransports();
        EXPECT_FALSE(context->winsockStarted);
        context->ReleaseTransports();
    }  // and the destructor's teardown
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(INVALID_SOCKET, s) << "Winsock cleaned up more than once";
    if (s != INVALID_SOCKET) closesocket(s);
    WSACleanup();
    s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_EQ(INVALID_SOCKET, s) << "the teardown did not clean up";
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    if (s != INVALID_SOCKET) closesocket(s);
}

TEST(LogLine, FormatConventions) {
    std::string log = CaptureStdout([] {
        LogLine(L"ERROR:HttpGetWinsock, catch returned 0x%08X", 0xbeefu);
        LogLine(L"%ls=%d", L"port", -5);
        LogLine(L"no line feed of its own");
    });
    EXPECT_EQ("ERROR:HttpGetWinsock, catch returned 0x0000BEEF\r\nport=-5\r\nno line feed of its own\r\n",
              log);
}
