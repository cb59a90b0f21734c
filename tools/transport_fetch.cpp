// Test driver for the transports and the download driver: sets the process's
// download context from the command line, makes the requested calls and
// prints what came back. Progress reports are printed and answered by a
// script instead of going to the pipe, unless --pipe is given.
//
//   transport_fetch --transport winsock|wininet|driver [--url U] [--out PATH]
//       [--mode N] [--proxy-host H] [--proxy-port P] [--user U] [--password P]
//       [--auth-mode N] [--ntlm] [--repeat K] [--answer KIND:NTH:VALUE]... [--pipe]
//
// Output lines: "PROGRESS kind value text", then per call
// "RESULT r STATUS s", "HEADERS <hex of the header text>", and at the end
// "CONTEXT authMode=a winsockStarted=w wininetLoaded=l status=s".
#include "download/context.h"
#include "download/driver.h"
#include "download/log_progress.h"
#include "download/output_file.h"
#include "transport/wininet/http_wininet.h"
#include "transport/winsock/http10.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct Answer {
    int kind;
    int nth;
    int value;
};
std::vector<Answer> answers;
int seen[16];

int ScriptedProgress(int kind, int value, const wchar_t* text) {
    std::string narrow;
    for (const wchar_t* p = text; p && *p; ++p) narrow += *p < 128 ? static_cast<char>(*p) : '?';
    std::printf("PROGRESS %d %d %s\n", kind, value, narrow.c_str());
    std::fflush(stdout);
    int count = (kind >= 0 && kind < 16) ? ++seen[kind] : 0;
    for (const Answer& a : answers) {
        if (a.kind == kind && (a.nth == count || a.nth == 0)) return a.value;
    }
    return 0;
}

void PrintHex(const std::string& text) {
    std::printf("HEADERS ");
    for (unsigned char c : text) std::printf("%02x", c);
    std::printf("\n");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring transport = L"winsock";
    std::wstring url = kDownloadUrl;
    std::wstring out;
    std::wstring user, password;
    bool haveCredentials = false;
    bool usePipe = false;
    int repeat = 1;
    DownloadContext& context = downloadContext;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        auto next = [&]() -> std::wstring { return i + 1 < argc ? argv[++i] : L""; };
        if (arg == L"--transport") transport = next();
        else if (arg == L"--url") url = next();
        else if (arg == L"--out") out = next();
        else if (arg == L"--mode") context.proxyMode = _wtoi(next().c_str());
        else if (arg == L"--proxy-host") context.proxyHost = next();
        else if (arg == L"--proxy-port") context.proxyPort = _wtoi(next().c_str());
        else if (arg == L"--user") { user = next(); haveCredentials = true; }
        else if (arg == L"--password") { password = next(); haveCredentials = true; }
        else if (arg == L"--auth-mode") context.authMode = _wtoi(next().c_str());
        else if (arg == L"--ntlm") context.useNtlm = true;
        else if (arg == L"--repeat") repeat = _wtoi(next().c_str());
        else if (arg == L"--pipe") usePipe = true;
        else if (arg == L"--answer") {
            Answer a{};
            if (swscanf(next().c_str(), L"%d:%d:%d", &a.kind, &a.nth, &a.value) == 3) answers.push_back(a);
        } else {
            std::fprintf(stderr, "unknown argument %ls\n", arg.c_str());
            return 2;
        }
    }
    if (haveCredentials) context.SetProxyCredentials(user.c_str(), password.c_str());
    if (!usePipe) context.progressCallback = ScriptedProgress;

    for (int call = 0; call < repeat; ++call) {
        DWORD result = 0;
        DWORD status = 0;
        std::string headers;
        if (transport == L"driver") {
            result = DownloadFile(context, out.c_str());
            status = context.status;
        } else {
            CUFile file;
            CGenFile* target = nullptr;
            if (!out.empty()) {
                if (!file.Open(out.c_str())) {
                    std::printf("OPEN-FAILED %lu\n", file.lastError);
                    return 3;
                }
                target = &file;
            }
            if (transport == L"wininet") {
                result = HttpGetWininet(context, url.c_str(), target, status, headers);
            } else {
                result = HttpGetWinsock(headers, context, url.c_str(), target, status);
            }
        }
        std::printf("RESULT %lu STATUS %lu\n", result, status);
        PrintHex(headers);
        std::fflush(stdout);
    }
    std::printf("CONTEXT authMode=%d winsockStarted=%d wininetLoaded=%d status=%lu\n",
                context.authMode, context.winsockStarted ? 1 : 0, context.wininetLoaded ? 1 : 0,
                context.status);
    std::fflush(stdout);
    return 0;
}
