// Probes of a file on disk: its packed version and the system's Authenticode
// verdict. No state; neither reports an error.
#pragma once

#include <windows.h>

// (major & 0xFF) << 24 | (minor & 0xFF) << 16 | build; 0 when none.
constexpr DWORD PackVersion(DWORD fileVersionMS, DWORD fileVersionLS) {
    return ((fileVersionMS >> 16) & 0xFF) << 24 | (fileVersionMS & 0xFF) << 16 |
           (fileVersionLS >> 16);
}

// Leaves GetLastError() at 0 on every path.
DWORD GetPackedFileVersion(const wchar_t* path);
bool IsFileTrusted(const wchar_t* path);
