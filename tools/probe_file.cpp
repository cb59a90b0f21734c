// Test driver for the file probes: for each path on the command line, prints
// what GetPackedFileVersion and IsFileTrusted answer and the thread's last
// error right after the version probe.
//
//   probe_file PATH...
//
// One line per path: "VERSION 0x%08X LASTERROR %u TRUSTED 0|1 <path>". The
// last error is set to a marker before the call, so a probe that leaves it
// untouched shows up.
#include "update/probes.h"

#include <cstdio>

namespace {
constexpr DWORD kMarkerError = 0xDEAD;
}

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        SetLastError(kMarkerError);
        DWORD version = GetPackedFileVersion(argv[i]);
        DWORD lastError = GetLastError();
        bool trusted = IsFileTrusted(argv[i]);
        std::printf("VERSION 0x%08lX LASTERROR %lu TRUSTED %d %ls\n",
                    static_cast<unsigned long>(version), static_cast<unsigned long>(lastError),
                    trusted ? 1 : 0, argv[i]);
    }
    std::fflush(stdout);
    return 0;
}
