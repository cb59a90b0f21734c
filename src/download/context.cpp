// The process-wide download context: construction at static initialisation,
// the two setters the product settings call, the teardown at process exit.
// Uses the log channel, the offline probe and (for teardown) Winsock.
#include "download/context.h"

#include "download/common.h"
#include "download/log_progress.h"
#include "transport/wininet/offline_probe.h"

#include <winsock2.h>

#include <cwchar>

// Declaration order is construction order: the agent text and the folder
// exist before the context's constructor logs.
wchar_t userAgent[kUserAgentLength];
std::wstring installFolder;
DownloadContext downloadContext;

namespace {

const wchar_t* ProxyTypeText(ProxyMode mode) {
    switch (mode) {
        case kProxyDirect: return L"no proxy";
        case kProxyIE: return L"use IE settings";
        case kProxyHttp: return L"standard HTTP proxy (rfc2616,2617)";
        case kProxySocks: return L"SOCKS proxy (rfc1928,1929)";
        default: return L"Invalid";
    }
}

const wchar_t* AuthText(AuthMode mode) {
    switch (mode) {
        case kAuthBasic: return L"basic authentication, use Winsock";
        case kAuthOther: return L"another authentication, use WinInet";
        default: return L"no authentication";
    }
}

bool WininetOnSearchPath() {
    wchar_t found[MAX_PATH];
    wchar_t* filePart = nullptr;
    return SearchPathW(nullptr, L"wininet.dll", nullptr, MAX_PATH, found, &filePart) != 0;
}

}  // namespace

DownloadContext::DownloadContext() {
    proxyMode = WininetOnSearchPath() ? kProxyIE : kProxyInvalid;
    progressCallback = PipeProgressCallback;
    wcsncpy(userAgent, L"Pullar/5.00 (unknown)", kUserAgentLength - 1);
    LogLine(L"PULLAR: Agent=%ls", userAgent);
}

DownloadContext::~DownloadContext() {
    ReleaseTransports();
}

void DownloadContext::ReleaseWininet() {
    if (!wininetLoaded) return;
    // Root handle before the libraries that implement it.
    if (internetHandle) {
        InternetCloseHandle(internetHandle);
        internetHandle = nullptr;
    }
    if (advapiModule) {
        FreeLibrary(advapiModule);
        advapiModule = nullptr;
    }
    if (wininetModule) {
        FreeLibrary(wininetModule);
        wininetModule = nullptr;
    }
    wininetLoaded = false;
}

void DownloadContext::ReleaseTransports() {
    ReleaseWininet();
    if (winsockStarted) {
        winsockStarted = false;
        WSACleanup();
    }
}

void DownloadContext::SetProxy(const wchar_t* host, ProxyMode mode, int port) {
    proxyMode = mode;
    authMode = kAuthNone;
    // The next WinInet request binds anew, with the new mode.
    ReleaseWininet();
    if (mode == kProxyIE && IEOffline()) {
        proxyMode = kProxyDirect;
        LogLine(L"PULLAR: IE in offline mode, switching to Direct connection");
    }
    switch (proxyMode) {
        case kProxyInvalid:
            if (host) {
                proxyHost = host;
                proxyPort = port;
            }
            break;
        case kProxyIE:
            authMode = kAuthOther;
            break;
        case kProxyHttp:
            if (host) {
                proxyHost = host;
                proxyPort = port ? port : 8080;
            }
            break;
        case kProxySocks:
            if (host) {
                proxyHost = host;
                proxyPort = port ? port : 1080;
            }
            break;
        default:
            break;
    }
    if (!proxyHost.empty()) LogLine(L"PULLAR: Proxy %ls:%d", proxyHost.c_str(), proxyPort);
    LogLine(L"PULLAR: Type: %ls", ProxyTypeText(proxyMode));
    LogLine(L"PULLAR: Auth: %ls", useNtlm ? L"NTLM" : AuthText(authMode));
    if (!proxyUser.empty()) LogLine(L"PULLAR: Proxy l/p: %ls/***", proxyUser.c_str());
}

void DownloadContext::SetProxyCredentials(const wchar_t* user, const wchar_t* password) {
    proxyUser = user ? user : L"";
    proxyPassword = password ? password : L"";
    size_t n = proxyUser.size() + proxyPassword.size() + 2;
    NarrowBuffer plain(static_cast<char*>(std::calloc(n, 1)));
    if (!plain) return;
    // "user:password" narrowed; the first character of 256 or above ends the
    // whole text, the colon and the password included.
    size_t m = 0;
    bool cut = false;
    auto append = [&](const std::wstring& text) {
        for (wchar_t c : text) {
            if (c >= 256) {
                cut = true;
                return;
            }
            plain[m++] = static_cast<char>(c);
        }
    };
    append(proxyUser);
    if (!cut) plain[m++] = ':';
    if (!cut) append(proxyPassword);
    NarrowBuffer token(static_cast<char*>(std::calloc((m + 2) / 3 * 4 + 1, 1)));
    if (!token) return;
    Base64Encode(token.get(), reinterpret_cast<const unsigned char*>(plain.get()),
                 static_cast<DWORD>(m));
    proxyAuthToken = token.get();
}

void Base64Encode(char* out, const unsigned char* in, DWORD length) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    DWORD i = 0;
    for (; i + 3 <= length; i += 3) {
        DWORD group = in[i] << 16 | in[i + 1] << 8 | in[i + 2];
        *out++ = kAlphabet[group >> 18 & 63];
        *out++ = kAlphabet[group >> 12 & 63];
        *out++ = kAlphabet[group >> 6 & 63];
        *out++ = kAlphabet[group & 63];
    }
    if (length - i == 1) {
        DWORD group = in[i] << 16;
        *out++ = kAlphabet[group >> 18 & 63];
        *out++ = kAlphabet[group >> 12 & 63];
        *out++ = '=';
        *out++ = '=';
    } else if (length - i == 2) {
        DWORD group = in[i] << 16 | in[i + 1] << 8;
        *out++ = kAlphabet[group >> 18 & 63];
        *out++ = kAlphabet[group >> 12 & 63];
        *out++ = kAlphabet[group >> 6 & 63];
        *out++ = '=';
    }
    *out = '\0';
}
