// HTTP GET through the WinInet binding of the download context, with the
// NTLM proxy logon and impersonation. Sits on InitWininet, the log and
// progress channel and the output file's Write; called by the download
// driver once per attempt.
#include "transport/wininet/http_wininet.h"

#include "download/error_codes.h"
#include "download/log_progress.h"
#include "transport/wininet/binding.h"

#include <cstdlib>
#include <cwchar>
#include <new>

namespace {

constexpr wchar_t kPlainPrefix[] = L"http://";
constexpr size_t kPlainPrefixLength = 7;
constexpr wchar_t kSecurePrefix[] = L"https://";
constexpr size_t kSecurePrefixLength = 8;

constexpr unsigned long kMaxPort = 65535;

constexpr DWORD kBodyChunkBytes = 8192;
// The header block is first asked for with this buffer length (in bytes, as
// WinInet counts it) in a buffer of as many wide characters, so the text
// always ends with a zero character.
constexpr DWORD kHeaderFirstUnits = 1000;
// The NTLM copies, terminator included. A text that does not fit is not
// logged on with: a cut account name could name another account.
constexpr size_t kNtlmUserUnits = 289;
constexpr size_t kNtlmPasswordUnits = 260;

constexpr DWORD kAddHeaderModifiers = HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE;

[[noreturn]] void RaiseLastError() {
    throw static_cast<DWORD>(GetLastError());
}

// The library's own allocation failures become an error of the attempt, so
// that only the two kinds of exception the boundary knows ever reach it.
template <typename F>
void WithoutBadAlloc(F&& step) {
    try {
        step();
    } catch (const std::bad_alloc&) {
        throw static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
    }
}

// Per-call state. The destructor is the one clean-up path, so every exit
// (result, error, abort) releases in the same order.
class WininetAttempt {
public:
    explicit WininetAttempt(DownloadContext& context) : context_(context) {}
    WininetAttempt(const WininetAttempt&) = delete;
    WininetAttempt& operator=(const WininetAttempt&) = delete;
    ~WininetAttempt() {
        // The thread's own identity first; the token only once nothing runs
        // under it; the progress bracket closes before the handles go.
        if (impersonating) ::RevertToSelf();
        if (token) CloseHandle(token);
        if (progressStarted) context_.progressCallback(kProgressDone, 0, nullptr);
        if (request) context_.InternetCloseHandle(request);
        if (connection) context_.InternetCloseHandle(connection);
    }

    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;
    HANDLE token = nullptr;
    bool impersonating = false;
    bool progressStarted = false;

private:
    DownloadContext& context_;
};

// Logs the proxy user on and impersonates it on this thread. No refusal here
// fails the request: without impersonation it goes on with the proxy
// credentials set on the connection.
void NtlmLogon(DownloadContext& context, WininetAttempt& attempt) {
    wchar_t password[kNtlmPasswordUnits] = {};
    std::wstring domain;
    std::wstring user;
    bool split = false;
    if (context.proxyUser.size() < kNtlmUserUnits) {
        WithoutBadAlloc([&] { split = SplitNtlmUser(context.proxyUser, domain, user); });
    }
    if (!split) {
        LogLine(L"ERROR: Invalid username %ls", context.proxyUser.c_str());
    } else if (context.proxyPassword.size() >= kNtlmPasswordUnits) {
        LogLine(L"ERROR: LogonUser(%ls\\%ls) failed 0x%08X", domain.c_str(), user.c_str(),
                static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    } else {
        wmemcpy(password, context.proxyPassword.c_str(), context.proxyPassword.size());
        if (!context.LogonUserW(user.c_str(), domain.c_str(), password, LOGON32_LOGON_NETWORK,
                                LOGON32_PROVIDER_DEFAULT, &attempt.token)) {
            attempt.token = nullptr;
            LogLine(L"ERROR: LogonUser(%ls\\%ls) failed 0x%08X", domain.c_str(), user.c_str(),
                    GetLastError());
        } else if (!context.ImpersonateLoggedOnUser(attempt.token)) {
            LogLine(L"ERROR: ImpersonateLoggedOnUser failed 0x%08X", GetLastError());
        } else {
            attempt.impersonating = true;
            // The account's own automatic-configuration choices, carried
            // over onto the root handle that the request goes through.
            INTERNET_PER_CONN_OPTIONW options[2] = {};
            options[0].dwOption = INTERNET_PER_CONN_AUTODISCOVERY_FLAGS;
            options[1].dwOption = INTERNET_PER_CONN_FLAGS;
            INTERNET_PER_CONN_OPTION_LISTW list = {};
            list.dwSize = sizeof list;
            list.pszConnection = nullptr;
            list.dwOptionCount = 2;
            list.pOptions = options;
            DWORD length = sizeof list;
            if (!context.InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list,
                                              &length)) {
                // Nothing was read, so nothing is copied over.
                LogLine(L"InternetQueryOption failed! (%d)\n", GetLastError());
            } else {
                context.InternetSetOptionW(context.internetHandle,
                                           INTERNET_OPTION_PER_CONNECTION_OPTION, &list, length);
            }
        }
    }
    SecureZeroMemory(password, sizeof password);
}

// "UserAgent: <agent>\r\n", the agent cut to its buffer.
void BuildAgentHeader(wchar_t (&line)[16 + kUserAgentLength]) {
    constexpr wchar_t kName[] = L"UserAgent: ";
    size_t n = 0;
    for (const wchar_t* p = kName; *p; ++p) line[n++] = *p;
    for (int i = 0; i < kUserAgentLength && userAgent[i]; ++i) line[n++] = userAgent[i];
    line[n++] = L'\r';
    line[n++] = L'\n';
    line[n] = L'\0';
}

// Content-Length as a number, when the server sent one.
bool QueryContentLength(DownloadContext& context, HINTERNET request, DWORD& length) {
    DWORD size = sizeof length;
    return context.HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                                  &length, &size, nullptr) != FALSE;
}

void TransferBody(DownloadContext& context, WininetAttempt& attempt, CGenFile* outputFile) {
    DWORD announced = 0;
    bool haveLength = QueryContentLength(context, attempt.request, announced);
    if (haveLength) {
        attempt.progressStarted = true;
        context.progressCallback(kProgressLength, static_cast<int>(announced), nullptr);
    }
    SYSTEMTIME modified;
    DWORD modifiedSize = sizeof modified;
    if (!context.HttpQueryInfoW(attempt.request, HTTP_QUERY_LAST_MODIFIED | HTTP_QUERY_FLAG_SYSTEMTIME,
                                &modified, &modifiedSize, nullptr)) {
        LogLine(L"http response failed, 0x%08X", GetLastError());
    }
    BYTE buffer[kBodyChunkBytes];
    DWORD total = 0;
    for (;;) {
        DWORD read = 0;
        if (!context.InternetReadFile(attempt.request, buffer, kBodyChunkBytes, &read)) {
            RaiseLastError();
        }
        if (read == 0) break;
        if (outputFile) outputFile->Write(buffer, read, nullptr);
        total += read;
        if (context.progressCallback(kProgressChunk, static_cast<int>(read), nullptr) == -1) {
            throw UserAbort{};
        }
        if (attempt.progressStarted) {
            context.progressCallback(kProgressReceived, static_cast<int>(total), nullptr);
        }
    }
    // WinInet ends the read quietly when the peer closes early; a short body
    // must not pass for the whole file.
    if (haveLength && total < announced) throw kErrConnectionAborted;
}

}  // namespace

bool SplitWininetUrl(const wchar_t* url, std::wstring& host, int& port, std::wstring& path) {
    if (!url) return false;
    bool secure;
    const wchar_t* rest;
    if (wcsncmp(url, kPlainPrefix, kPlainPrefixLength) == 0) {
        secure = false;
        rest = url + kPlainPrefixLength;
    } else if (wcsncmp(url, kSecurePrefix, kSecurePrefixLength) == 0) {
        secure = true;
        rest = url + kSecurePrefixLength;
    } else {
        return false;
    }
    const wchar_t* slash = wcschr(rest, L'/');
    std::wstring authority = slash ? std::wstring(rest, slash) : std::wstring(rest);
    std::wstring newPath = slash ? std::wstring(slash) : std::wstring(L"/");
    unsigned long number = 0;
    size_t colon = authority.find(L':');
    if (colon != std::wstring::npos) {
        // Digits up to the first other character. A number past the port
        // range stays past it (kMaxPort + 1) instead of wrapping into some
        // other port; the caller refuses it.
        for (size_t i = colon + 1; i < authority.size() && authority[i] >= L'0' && authority[i] <= L'9';
             ++i) {
            number = number * 10 + static_cast<unsigned long>(authority[i] - L'0');
            if (number > kMaxPort) number = kMaxPort + 1;
        }
        authority.resize(colon);
    }
    host.swap(authority);
    path.swap(newPath);
    port = number != 0 ? static_cast<int>(number) : (secure ? 443 : 80);
    return true;
}

bool IsSecureWininetUrl(const wchar_t* url) {
    return url && wcsncmp(url, kSecurePrefix, kSecurePrefixLength) == 0;
}

DWORD WininetRequestFlags(bool secure) {
    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                  INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_COOKIES |
                  INTERNET_FLAG_PRAGMA_NOCACHE;
    if (secure) flags |= INTERNET_FLAG_SECURE;
    return flags;
}

bool SplitNtlmUser(const std::wstring& proxyUser, std::wstring& domain, std::wstring& user) {
    size_t slash = proxyUser.find(L'\\');
    if (slash == std::wstring::npos) return false;
    domain.assign(proxyUser, 0, slash);
    user.assign(proxyUser, slash + 1, std::wstring::npos);
    return true;
}

TransportResult WininetErrorResult(DWORD code) {
    switch (code) {
        case ERROR_INTERNET_TIMEOUT:
        case ERROR_INTERNET_CONNECTION_ABORTED:
        case ERROR_INTERNET_CONNECTION_RESET:
            return kTransportTransient;
        default:
            return kTransportNoConnection;
    }
}

TransportResult WininetStatusResult(DWORD status) {
    if (status / 100 == 2 || status == HTTP_STATUS_NOT_MODIFIED) return kTransportOk;
    return kTransportHttpStatus;
}

DWORD HttpGetWininetHeader(HINTERNET request, DownloadContext& context, DWORD& statusOut,
                           std::string& responseHeaders) {
    WideBuffer block(static_cast<wchar_t*>(std::calloc(kHeaderFirstUnits, sizeof(wchar_t))));
    if (!block) return 0;
    try {
        DWORD length = kHeaderFirstUnits;
        if (!context.HttpQueryInfoW(request, HTTP_QUERY_RAW_HEADERS_CRLF, block.get(), &length,
                                    nullptr)) {
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) RaiseLastError();
            // length now holds the bytes the block needs; a buffer of as many
            // wide characters plus one keeps a zero character after it.
            block.reset(static_cast<wchar_t*>(std::calloc(size_t{length} + 1, sizeof(wchar_t))));
            if (!block) return 0;
            if (!context.HttpQueryInfoW(request, HTTP_QUERY_RAW_HEADERS_CRLF, block.get(), &length,
                                        nullptr)) {
                RaiseLastError();
            }
        }
        // A block that cannot be handed on is no block: the caller would
        // otherwise act on the headers of an earlier answer.
        NarrowBuffer narrow = WideToNarrow(block.get());
        if (!narrow) throw static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
        WithoutBadAlloc([&] { responseHeaders.assign(narrow.get()); });
        return 0;
    } catch (DWORD code) {
        statusOut = code;
        LogLine(L"ERROR:HttpGetWininetHeader, catch returned 0x%08X", code);
        return WininetErrorResult(code);
    }
}

TransportResult HttpGetWininet(DownloadContext& context, const wchar_t* url, CGenFile* outputFile,
                               DWORD& statusOut, std::string& responseHeaders) {
    statusOut = 0;
    DWORD bound = InitWininet(context);
    if (bound != 0) {
        statusOut = bound;
        LogLine(L"ERROR:HttpGetWininet, InitWininet() returned 0x%08X", bound);
        return kTransportStartFailed;
    }

    TransportResult result = kTransportNoConnection;
    WininetAttempt attempt(context);
    try {
        std::wstring host;
        std::wstring path;
        int port = 0;
        bool split = false;
        WithoutBadAlloc([&] { split = SplitWininetUrl(url, host, port, path); });
        // A relative or foreign address has no host to connect to.
        if (!split) throw kErrUnrecognizedScheme;
        if (port > static_cast<int>(kMaxPort)) throw static_cast<DWORD>(ERROR_INTERNET_INVALID_URL);

        context.InternetSetOptionW(context.internetHandle, INTERNET_OPTION_USER_AGENT, userAgent,
                                   kUserAgentLength);
        attempt.connection =
            context.InternetConnectW(context.internetHandle, host.c_str(),
                                     static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                                     INTERNET_SERVICE_HTTP, 0, 0);
        if (!attempt.connection) RaiseLastError();

        OSVERSIONINFOW version = {};
        version.dwOSVersionInfoSize = sizeof version;
        if (GetVersionExW(&version) && context.useNtlm &&
            version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
            NtlmLogon(context, attempt);
        }

        if (!context.proxyUser.empty()) {
            context.InternetSetOptionW(attempt.connection, INTERNET_OPTION_PROXY_USERNAME,
                                       const_cast<wchar_t*>(context.proxyUser.c_str()),
                                       static_cast<DWORD>(context.proxyUser.size() + 1));
            context.InternetSetOptionW(attempt.connection, INTERNET_OPTION_PROXY_PASSWORD,
                                       const_cast<wchar_t*>(context.proxyPassword.c_str()),
                                       static_cast<DWORD>(context.proxyPassword.size() + 1));
        }

        attempt.request = context.HttpOpenRequestW(attempt.connection, L"GET", path.c_str(), nullptr,
                                                   nullptr, nullptr,
                                                   WininetRequestFlags(IsSecureWininetUrl(url)), 0);
        if (!attempt.request) RaiseLastError();

        wchar_t agentHeader[16 + kUserAgentLength];
        BuildAgentHeader(agentHeader);
        context.HttpAddRequestHeadersW(attempt.request, agentHeader, static_cast<DWORD>(-1),
                                       kAddHeaderModifiers);

        if (!context.HttpSendRequestW(attempt.request, nullptr, 0, nullptr, 0)) RaiseLastError();

        DWORD statusSize = sizeof statusOut;
        if (!context.HttpQueryInfoW(attempt.request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                                    &statusOut, &statusSize, nullptr)) {
            RaiseLastError();
        }
        if (HttpGetWininetHeader(attempt.request, context, statusOut, responseHeaders) != 0) {
            throw statusOut;
        }

        if (statusOut / 100 == 2) TransferBody(context, attempt, outputFile);
        result = WininetStatusResult(statusOut);
    } catch (DWORD code) {
        statusOut = code;
        result = WininetErrorResult(code);
        LogLine(L"ERROR:HttpGetWininet, catch returned 0x%08X (%d)", code, code);
    } catch (const UserAbort&) {
        result = kTransportCancelled;
    }
    return result;
}
