// The process-wide download context: settings, credentials, the progress
// callback and the lazily made transport bindings. Exactly one instance,
// built during static initialisation (its construction prints the first line
// of every run) and torn down at process exit. It owns its strings, the two
// modules, the WinInet root handle and the Winsock start-up.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <string>

using ProxyMode = int;
constexpr ProxyMode kProxyInvalid = -1;  // not set; Winsock goes direct
constexpr ProxyMode kProxyDirect = 0;
constexpr ProxyMode kProxyIE = 1;        // WinInet's preconfigured settings
constexpr ProxyMode kProxyHttp = 2;
constexpr ProxyMode kProxySocks = 3;

using AuthMode = int;
constexpr AuthMode kAuthNone = 0;
constexpr AuthMode kAuthBasic = 1;       // Basic token sent by Winsock
constexpr AuthMode kAuthOther = 2;       // left to WinInet

// kind, value, text (may be null) -> answer; -1 asks for an abort.
using ProgressCallback = int (*)(int kind, int value, const wchar_t* text);

constexpr int kUserAgentLength = 100;
extern wchar_t userAgent[kUserAgentLength];

// The product's installation folder; set once by the update run.
extern std::wstring installFolder;

struct DownloadContext {
    DownloadContext();
    ~DownloadContext();
    DownloadContext(const DownloadContext&) = delete;
    DownloadContext& operator=(const DownloadContext&) = delete;

    void SetProxy(const wchar_t* host, ProxyMode mode, int port);
    void SetProxyCredentials(const wchar_t* user, const wchar_t* password);
    // Drops the WinInet binding (root handle, advapi32, wininet) and ends
    // Winsock when it was started.
    void ReleaseTransports();
    // Step 1 of ReleaseTransports alone: what every SetProxy does.
    void ReleaseWininet();

    DWORD status = 0;
    ProxyMode proxyMode = kProxyInvalid;
    AuthMode authMode = kAuthNone;
    std::wstring proxyHost;
    int proxyPort = 0;
    std::wstring proxyUser;
    std::wstring proxyPassword;
    std::string proxyAuthToken;
    bool useNtlm = false;
    ProgressCallback progressCallback = nullptr;
    bool wininetLoaded = false;
    bool winsockStarted = false;
    HMODULE wininetModule = nullptr;
    HMODULE advapiModule = nullptr;
    HINTERNET internetHandle = nullptr;

    // Bound at run time by InitWininet; never cleared once resolved.
    decltype(&::InternetOpenW) InternetOpenW = nullptr;
    decltype(&::InternetCloseHandle) InternetCloseHandle = nullptr;
    decltype(&::InternetConnectW) InternetConnectW = nullptr;
    decltype(&::InternetReadFile) InternetReadFile = nullptr;
    decltype(&::InternetWriteFile) InternetWriteFile = nullptr;
    decltype(&::InternetSetOptionW) InternetSetOptionW = nullptr;
    decltype(&::HttpOpenRequestW) HttpOpenRequestW = nullptr;
    decltype(&::HttpAddRequestHeadersW) HttpAddRequestHeadersW = nullptr;
    decltype(&::HttpSendRequestW) HttpSendRequestW = nullptr;
    decltype(&::HttpSendRequestExW) HttpSendRequestExW = nullptr;
    decltype(&::HttpQueryInfoW) HttpQueryInfoW = nullptr;
    decltype(&::LogonUserW) LogonUserW = nullptr;
    decltype(&::ImpersonateLoggedOnUser) ImpersonateLoggedOnUser = nullptr;
    decltype(&::RevertToSelf) RevertToSelf = nullptr;
    decltype(&::InternetQueryOptionW) InternetQueryOptionW = nullptr;
    decltype(&::HttpEndRequestW) HttpEndRequestW = nullptr;
    decltype(&::InternetGetLastResponseInfoW) InternetGetLastResponseInfoW = nullptr;
};

extern DownloadContext downloadContext;

// Base64 (RFC 4648 section 4) of length bytes, "=" padded, zero-terminated;
// out holds (length + 2) / 3 * 4 + 1 bytes.
void Base64Encode(char* out, const unsigned char* in, DWORD length);
