// Test client of the reporting channels: sends progress reports through the
// download context's callback, writes log lines and sets proxy modes, in the
// order of the arguments, and prints what came back.
//
//   progress_send [--report KIND VALUE TEXT]... [--bench N] [--log-long N]...
//       [--set-proxy HOST MODE PORT]...
//
// TEXT is "null" (no text), "units:N" (N units of PatternUnit), or the text
// itself. HOST "-" is a null host. Output: "ANSWER kind value answer ms=T" per
// report, "BENCH n=N ms=T" after N kind-6 reports, the log lines themselves.
#include "download/context.h"
#include "download/log_progress.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

// Mostly letters, with a unit above 255 now and then so that a field read as
// bytes instead of UTF-16 units shows.
wchar_t PatternUnit(size_t i) {
    return i % 1000 == 999 ? static_cast<wchar_t>(0x263A) : static_cast<wchar_t>(L'A' + i % 26);
}

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
}

void Report(int kind, int value, const std::wstring& textArg) {
    std::wstring text;
    const wchar_t* textPtr = nullptr;
    if (textArg.compare(0, 6, L"units:") == 0) {
        size_t n = std::wcstoul(textArg.c_str() + 6, nullptr, 10);
        for (size_t i = 0; i < n; ++i) text += PatternUnit(i);
        textPtr = text.c_str();
    } else if (textArg != L"null") {
        text = textArg;
        textPtr = text.c_str();
    }
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    int answer = downloadContext.progressCallback(kind, value, textPtr);
    QueryPerformanceCounter(&end);
    std::printf("ANSWER %d %d %d ms=%.3f\n", kind, value, answer, Milliseconds(start, end));
    std::fflush(stdout);
}

void Bench(int count) {
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < count; ++i) downloadContext.progressCallback(kProgressChunk, 8192, nullptr);
    QueryPerformanceCounter(&end);
    std::printf("BENCH n=%d ms=%.3f\n", count, Milliseconds(start, end));
    std::fflush(stdout);
}

void LogLong(size_t n) {
    std::wstring text;
    for (size_t i = 0; i < n; ++i) text += static_cast<wchar_t>(L'a' + i % 26);
    LogLine(L"%ls", text.c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"--report" && i + 3 < argc) {
            Report(std::wcstol(argv[i + 1], nullptr, 0), std::wcstol(argv[i + 2], nullptr, 0),
                   argv[i + 3]);
            i += 3;
        } else if (arg == L"--bench" && i + 1 < argc) {
            Bench(std::wcstol(argv[++i], nullptr, 10));
        } else if (arg == L"--log-long" && i + 1 < argc) {
            LogLong(std::wcstoul(argv[++i], nullptr, 10));
        } else if (arg == L"--set-proxy" && i + 3 < argc) {
            std::wstring host = argv[i + 1];
            downloadContext.SetProxy(host == L"-" ? nullptr : host.c_str(),
                                     std::wcstol(argv[i + 2], nullptr, 10),
                                     std::wcstol(argv[i + 3], nullptr, 10));
            i += 3;
        } else {
            std::fwprintf(stderr, L"progress_send: bad argument %ls\n", arg.c_str());
            return 1;
        }
    }
    return 0;
}
