// The download driver: the built-in address into a local file through a
// temporary file beside it, up to five attempts over the two transports, 302
// redirects, one answer to a 407 challenge and pauses after transient
// failures. Owns the output file object of one call; the transports own
// their connections.
#include "download/driver.h"

#include "download/error_codes.h"
#include "download/log_progress.h"
#include "download/output_file.h"
#include "transport/wininet/http_wininet.h"
#include "transport/winsock/http10.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

const wchar_t kDownloadUrl[] = L"http://" QUARN_UPDATE_HOST L"/files/emupdate/20150209.cab";

namespace {

constexpr int kMaxAttempts = 5;
constexpr DWORD kTransientPauseMs = 5000;
constexpr int kMessageUnits = 256;

// Texts of the kind-3 reports. The program carries no string table, so the
// looked-up part is empty and only the suffix is sent; a build that adds the
// resources changes nothing else.
constexpr UINT kTextBeforeTransfer = 2600;
constexpr UINT kTextAfterTransfer = 2601;
constexpr UINT kTextNoConnection = 2617;
constexpr UINT kTextTransient = 2618;
constexpr UINT kTextHttpStatus = 2619;

int ReportText(DownloadContext& context, UINT resource, const wchar_t* suffixFormat, ...) {
    wchar_t text[kMessageUnits] = {};
    int used = LoadStringW(GetModuleHandleW(nullptr), resource, text, kMessageUnits);
    if (used < 0) used = 0;
    if (suffixFormat && used < kMessageUnits - 1) {
        va_list args;
        va_start(args, suffixFormat);
        _vsnwprintf(text + used, kMessageUnits - 1 - used, suffixFormat, args);
        va_end(args);
    }
    text[kMessageUnits - 1] = L'\0';
    return context.progressCallback(kProgressText, 0, text);
}

const wchar_t* FileNameOf(const wchar_t* url) {
    const wchar_t* slash = std::wcsrchr(url, L'/');
    const wchar_t* backslash = std::wcsrchr(url, L'\\');
    const wchar_t* last = slash > backslash ? slash : backslash;
    return last ? last + 1 : url;
}

std::string Lowered(const std::string& text) {
    std::string copy = text;
    for (char& c : copy) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return copy;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

// The target of a 302: the value after "location:" on its header line, with
// blanks and tabs around it removed, so that a header written without a space
// after the colon loses nothing. A value that begins with "/" is resolved
// against the scheme and authority of the current address. False when the
// header text has no complete, non-empty location line.
bool RedirectTarget(const std::string& headers, const std::wstring& currentUrl, std::string& target) {
    static const char kLocation[] = "location:";
    size_t at = Lowered(headers).find(kLocation);
    if (at == std::string::npos) return false;
    size_t begin = at + sizeof kLocation - 1;
    size_t end = headers.find("\r\n", begin);
    if (end == std::string::npos) return false;
    while (begin < end && IsBlank(headers[begin])) ++begin;
    while (end > begin && IsBlank(headers[end - 1])) --end;
    if (begin == end) return false;  // an empty location points nowhere
    target = headers.substr(begin, end - begin);
    if (target[0] == '/') {
        size_t scheme = currentUrl.find(L"://");
        if (scheme != std::wstring::npos) {
            size_t pathStart = currentUrl.find(L'/', scheme + 3);
            std::wstring origin = currentUrl.substr(0, pathStart);
            std::string narrowOrigin;
            for (wchar_t c : origin) narrowOrigin += static_cast<char>(c < 256 ? c : '?');
            target = narrowOrigin + target;
        }
    }
    return true;
}

WideBuffer NarrowToWide(const char* text) {
    size_t length = std::strlen(text);
    // calloc refuses a byte size that would overflow.
    WideBuffer wide(static_cast<wchar_t*>(std::calloc(length + 1, sizeof(wchar_t))));
    if (!wide) return nullptr;
    for (size_t i = 0; i < length; ++i) wide[i] = static_cast<unsigned char>(text[i]);
    return wide;
}

bool CopyFileWithRetry(const wchar_t* destination, const wchar_t* source) {
    for (int i = 0; i < 10; ++i) {
        SetFileAttributesW(destination, 0);
        if (CopyFileW(source, destination, FALSE)) return true;
        Sleep(GetLastError() == ERROR_SHARING_VIOLATION ? 200 : 20);
    }
    return false;
}

DWORD GetInetFile(DownloadContext& context, const wchar_t* target) {
    std::wstring temporary = std::wstring(target) + L".dld";
    DeleteFileW(temporary.c_str());

    CUFile file;
    auto openFailed = [&]() {
        LogLine(L"ERROR:GetInetFile, CreateFile( \"%ls\") returned 0x%08X", temporary.c_str(),
                file.lastError);
        return file.lastError;
    };
    if (!file.Open(temporary.c_str())) return openFailed();

    DWORD lastResult = kTransportOk;
    DWORD status = 0;
    try {
        if (context.progressCallback(kProgressStart, 0, nullptr) == -1) throw UserAbort();
        std::wstring url = kDownloadUrl;
        for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
            std::string headers;
            bool pause = false;
            // Every attempt starts from an empty file: the target never holds
            // bytes of two attempts.
            if (attempt > 0) {
                file.Close();
                if (!file.Open(temporary.c_str())) {
                    DWORD error = openFailed();
                    DeleteFileW(temporary.c_str());
                    return error;
                }
            }
            status = 0;
            if (context.authMode == kAuthOther || context.useNtlm) {
                lastResult = HttpGetWininet(context, url.c_str(), &file, status, headers);
            } else {
                lastResult = HttpGetWinsock(headers, context, url.c_str(), &file, status);
            }
            context.status = status;

            bool again = false;
            if (lastResult == kTransportOk) {
            } else if (lastResult == kTransportNoConnection) {
                ReportText(context, kTextNoConnection, nullptr);
            } else if (lastResult == kTransportTransient) {
                ReportText(context, kTextTransient, L" %ls", url.c_str());
                pause = true;
                again = true;
            } else if (lastResult == kTransportHttpStatus && status == 302) {
                std::string location;
                if (RedirectTarget(headers, url, location)) {
                    // No memory for the new address: the redirect has nothing
                    // to follow, as if the location were missing.
                    if (WideBuffer wide = NarrowToWide(location.c_str())) {
                        url = wide.get();
                        again = true;
                    }
                }
            } else if (lastResult == kTransportHttpStatus) {
                ReportText(context, kTextHttpStatus, L" %03d", static_cast<int>(status));
                if (status == 407 && context.authMode == kAuthNone) {
                    SelectProxyAuthMode(headers, context);
                    again = !context.proxyUser.empty();
                }
            } else if (lastResult == kTransportCancelled) {
                throw UserAbort();
            }
            if (!again) break;

            if (context.progressCallback(kProgressRetry, 0, nullptr) == -1) throw UserAbort();
            if (pause) Sleep(kTransientPauseMs);
        }
    } catch (const UserAbort&) {
        file.Close();
        DeleteFileW(temporary.c_str());
        return ERROR_CANCELLED;
    }

    file.Close();
    DWORD result;
    switch (lastResult) {
        case kTransportOk:
            DeleteFileW(target);
            if (MoveFileW(temporary.c_str(), target)) return 0;
            if (CopyFileWithRetry(target, temporary.c_str())) {
                result = 0;
            } else {
                result = GetLastError();
                LogLine(L"ERROR:GetInetFile, CopyFile( \"%ls\", \"%ls\" ) returned 0x%08X",
                        temporary.c_str(), target, result);
            }
            break;
        case kTransportNoConnection:
        case kTransportTransient:
            result = kErrTransferFailed;
            break;
        case kTransportHttpStatus:
            if (status == 407 || status == 93) {
                result = kErrProxyAuthFailed;
            } else if ((status >= 500 && status <= 599) || status == 91 || status == 92) {
                result = kErrTransferFailed;
            } else {
                result = kErrHttpStatus;
            }
            break;
        default:
            // A transport that could not work at all puts its code in the
            // status; the one that cannot (no memory for the SOCKS request)
            // is reported by its result, never as success.
            result = status != 0 ? status : lastResult;
            break;
    }
    DeleteFileW(temporary.c_str());
    return result;
}

DWORD DownloadFile(DownloadContext& context, const wchar_t* target) {
    const wchar_t* name = FileNameOf(kDownloadUrl);
    if (ReportText(context, kTextBeforeTransfer, L" %ls", name) == -1) return ERROR_CANCELLED;
    DWORD result = GetInetFile(context, target);
    if (result != 0) return result;
    if (ReportText(context, kTextAfterTransfer, L" %ls", name) == -1) return ERROR_CANCELLED;
    return 0;
}
