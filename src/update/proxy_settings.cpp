// The product's own network settings: Setup\setup.ini below the installation
// folder, section "Common", handed to the process-wide download context before
// the download. Also the decoding of passwords stored as "b?" + Base64. The
// buffers here live only during the call; the context's setters copy them.
#include "update/proxy_settings.h"

#include "download/common.h"
#include "download/context.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

constexpr int kTextUnits = 260;           // host, user and password as read
constexpr int kClearUnits = 32768;        // the decoded password
constexpr int kClearCapacity = 32766;     // keeps a zero at the end of clear

constexpr wchar_t kSection[] = L"Common";

// Copies at most kTextUnits - 1 characters of value into a zero-filled buffer.
void CopyCurrent(wchar_t (&buffer)[kTextUnits], const std::wstring& value) {
    std::wmemset(buffer, 0, kTextUnits);
    std::wcsncpy(buffer, value.c_str(), kTextUnits);
    buffer[kTextUnits - 1] = L'\0';
}

// RFC 4648 alphabet value of c, or -1.
int SextetOf(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

int LoadProxySettings() {
    std::wstring path = installFolder + L"\\Setup\\" + L"setup.ini";
    const wchar_t* file = path.c_str();
    const int currentPort = downloadContext.proxyPort;

    wchar_t host[kTextUnits];
    CopyCurrent(host, downloadContext.proxyHost);
    int mode = static_cast<int>(GetPrivateProfileIntW(kSection, L"NetAcc", -1, file));
    GetPrivateProfileStringW(kSection, L"NetIP", host, host, kTextUnits, file);
    int port = static_cast<int>(GetPrivateProfileIntW(kSection, L"NetPort", currentPort, file));

    if (mode == kProxyInvalid) {
        wchar_t found[kTextUnits];
        wchar_t* filePart = nullptr;
        if (SearchPathW(nullptr, L"wininet.dll", nullptr, kTextUnits, found, &filePart) != 0) mode = kProxyIE;
    }

    // Before SetProxy: its log line names the authentication chosen from it.
    downloadContext.useNtlm = GetPrivateProfileIntW(kSection, L"UseNTLM", 0, file) != 0;
    downloadContext.SetProxy(host, mode, port);

    wchar_t user[kTextUnits];
    wchar_t password[kTextUnits];
    CopyCurrent(user, downloadContext.proxyUser);
    CopyCurrent(password, downloadContext.proxyPassword);
    GetPrivateProfileStringW(kSection, L"NetUser", user, user, kTextUnits, file);
    GetPrivateProfileStringW(kSection, L"NetPwd", password, password, kTextUnits, file);

    wchar_t clear[kClearUnits];
    std::wmemset(clear, 0, kClearUnits);
    if (password[0] != L'\0') DecodeNetPassword(password, clear, kClearCapacity);
    downloadContext.SetProxyCredentials(user, clear);
    SecureZeroMemory(clear, sizeof clear);
    SecureZeroMemory(password, sizeof password);
    return 0;
}

int DecodeNetPassword(const wchar_t* text, wchar_t* clear, int capacity) {
    if (text[0] == L'\0') {
        clear[0] = L'\0';
        return 0;
    }
    if ((text[0] != L'b' && text[0] != L'B') || text[1] != L'?') {
        std::wcscpy(clear, text);
        return 0;
    }
    if (capacity < 0) capacity = 0;
    std::unique_ptr<unsigned char[], FreeDeleter> work(
        static_cast<unsigned char*>(std::calloc(static_cast<size_t>(capacity) + 1, 1)));
    if (!work) return 0;
    NarrowBuffer narrowed = WideToNarrow(text + 2);
    if (!narrowed) return 0;

    DWORD length = static_cast<DWORD>(capacity);
    int result = Base64Decode(narrowed.get(), work.get(), length);
    narrowed.reset();

    // With 122 length exceeds what was delivered (nothing); never read past it.
    DWORD usable = length < static_cast<DWORD>(capacity) ? length : static_cast<DWORD>(capacity);
    for (DWORD i = 0; i < usable && work[i] != 0; ++i) clear[i] = static_cast<wchar_t>(work[i]);
    SecureZeroMemory(work.get(), static_cast<size_t>(capacity));
    return result;
}

int Base64Decode(const char* text, unsigned char* out, DWORD& length) {
    size_t textLength = std::strlen(text);
    // Decoding never yields more bytes than there are characters; one spare
    // byte keeps an empty text from asking for nothing.
    std::unique_ptr<unsigned char[], FreeDeleter> scratch(
        static_cast<unsigned char*>(std::malloc(textLength + 1)));
    if (!scratch) return ERROR_NOT_ENOUGH_MEMORY;

    DWORD accumulator = 0;
    int pending = 0;
    DWORD produced = 0;
    int result = ERROR_SUCCESS;
    bool closed = false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p == '=') {
            if (pending == 1) {
                result = ERROR_INVALID_PARAMETER;
            } else if (pending == 2) {
                scratch[produced++] = static_cast<unsigned char>(accumulator >> 10);
            } else if (pending == 3) {
                scratch[produced++] = static_cast<unsigned char>(accumulator >> 16);
                scratch[produced++] = static_cast<unsigned char>(accumulator >> 8);
            }
            closed = true;
            break;
        }
        int v = SextetOf(*p);
        if (v < 0) continue;
        accumulator += static_cast<DWORD>(v);
        if (++pending == 4) {
            scratch[produced++] = static_cast<unsigned char>(accumulator >> 16);
            scratch[produced++] = static_cast<unsigned char>(accumulator >> 8);
            scratch[produced++] = static_cast<unsigned char>(accumulator);
            accumulator = 0;
            pending = 0;
        } else {
            accumulator <<= 6;
        }
    }
    if (!closed && pending != 0) result = ERROR_INVALID_PARAMETER;

    if (produced > length) {
        result = ERROR_INSUFFICIENT_BUFFER;
    } else if (produced != 0) {
        std::memcpy(out, scratch.get(), produced);
    }
    length = produced;
    SecureZeroMemory(scratch.get(), textLength + 1);
    return result;
}
