// The repair procedure, run once from the entry point. Always returns 995.
#pragma once

#include <windows.h>

constexpr int kExitCode = 995;              // ERROR_OPERATION_ABORTED, on every path
constexpr DWORD kTargetVersion = 0x0A0208AA;  // 10.2.2218 packed
constexpr int kPathUnits = MAX_PATH;

// Wide printf into a 260-unit buffer; -1 when it fails or does not fit.
int FormatPath(wchar_t* buffer, const wchar_t* format, ...);
void DeleteFolderFiles(const wchar_t* folder);

// Decision of step 1, apart from the call that reads the version.
bool IsSupportedWindows(DWORD major, DWORD minor, WORD servicePackMajor);

int RunUpdate();
