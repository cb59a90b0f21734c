// The repair procedure: system and processor gate, installation folder from
// the registry, version gate, work folder, product settings, download,
// extraction, verification and the swap of the updater, then clean-up.
// Every failed step goes silently to the clean-up; the exit code is always
// 995.
#include "update/update_run.h"

#include "download/context.h"
#include "download/driver.h"
#include "download/unique_handle.h"
#include "update/cabinet.h"
#include "update/probes.h"
#include "update/proxy_settings.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

namespace {

constexpr wchar_t kProductKey[] = L"SOFTWARE\\QUARN Software\\Quarn";
constexpr wchar_t kWorkFolderName[] = L"{86EF97D6-551E-42dd-AE0B-971F82DBBE3F}";
constexpr DWORD kRegistryDataBytes = 518;

bool IsDirectory(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool ReadInstallFolder(wchar_t* folder) {
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ | KEY_WOW64_32KEY, &raw) !=
        ERROR_SUCCESS) {
        return false;
    }
    UniqueRegKey key(raw);
    // 518 bytes of a 520-byte zero-filled buffer: the text always ends in a
    // zero, whatever type the value has.
    DWORD bytes = kRegistryDataBytes;
    return RegQueryValueExW(key.Get(), L"ProgramFolder", nullptr, nullptr,
                            reinterpret_cast<BYTE*>(folder), &bytes) == ERROR_SUCCESS;
}

bool SystemSupported() {
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) return false;
    return IsSupportedWindows(version.dwMajorVersion, version.dwMinorVersion,
                              version.wServicePackMajor);
}

// Paths of one run, each in a buffer of MAX_PATH units.
struct RunPaths {
    wchar_t installation[kPathUnits] = {};
    wchar_t installedUpdater[kPathUnits] = {};
    wchar_t workFolder[kPathUnits] = {};
    wchar_t cabinet[kPathUnits] = {};
    wchar_t newUpdater[kPathUnits] = {};
    wchar_t previousUpdater[kPathUnits] = {};
    wchar_t checksumSource[kPathUnits] = {};
    wchar_t checksumTarget[kPathUnits] = {};
};

// Steps 13.1 to 13.5. When the final move fails, the installed updater lies
// under its .old name: it is moved back, so the installation never loses its
// updater.
void SwapUpdater(RunPaths& p, DWORD installedVersion) {
    if (FormatPath(p.previousUpdater, L"%ls\\QuarnEmUpdate.old", p.installation) == -1) return;
    if (FormatPath(p.checksumSource, L"%ls\\%u.sum", p.workFolder,
                   static_cast<unsigned>(installedVersion & 0xFFFF)) != -1 &&
        FormatPath(p.checksumTarget, L"%ls\\QuarnEmUpdate.exe.sum", p.installation) != -1) {
        MoveFileExW(p.checksumSource, p.checksumTarget, MOVEFILE_REPLACE_EXISTING);
    }
    if (!MoveFileExW(p.installedUpdater, p.previousUpdater, MOVEFILE_REPLACE_EXISTING)) return;
    MoveFileExW(p.previousUpdater, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    if (MoveFileExW(p.newUpdater, p.installedUpdater, MOVEFILE_REPLACE_EXISTING)) return;

    // The pending deletion stays registered; it names a path that no longer
    // exists once the updater is back, and does nothing at reboot.
    MoveFileExW(p.previousUpdater, p.installedUpdater, MOVEFILE_REPLACE_EXISTING);
}

void CleanUp(const wchar_t* workFolder) {
    if (!IsDirectory(workFolder)) return;
    DeleteFolderFiles(workFolder);
    RemoveDirectoryW(workFolder);
}

}  // namespace

int FormatPath(wchar_t* buffer, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    int written = _vsnwprintf(buffer, kPathUnits, format, args);
    va_end(args);
    // The text and its terminator must fit; msvcrt reports a cut with -1
    // and returns kPathUnits for a text that leaves no room for the zero.
    // A cut path is emptied: it may name another, existing folder, which the
    // clean-up would then take for the work folder.
    if (written < 0 || written >= kPathUnits) {
        buffer[0] = L'\0';
        return -1;
    }
    return written;
}

void DeleteFolderFiles(const wchar_t* folder) {
    wchar_t pattern[kPathUnits];
    if (FormatPath(pattern, L"%ls\\*", folder) == -1) return;
    WIN32_FIND_DATAW entry;
    UniqueFindHandle search(FindFirstFileW(pattern, &entry));
    if (!search) return;
    do {
        wchar_t path[kPathUnits];
        if (FormatPath(path, L"%ls\\%ls", folder, entry.cFileName) != -1) DeleteFileW(path);
    } while (FindNextFileW(search.Get(), &entry));
}

bool IsSupportedWindows(DWORD major, DWORD minor, WORD servicePackMajor) {
    if (major > 5) return true;
    if (major < 5) return false;
    if (minor >= 2) return true;
    return minor == 1 && servicePackMajor >= 2;
}

int RunUpdate() {
    RunPaths p;
    [&] {
        if (!SystemSupported()) return;
        if (!IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE)) return;
        if (!ReadInstallFolder(p.installation)) return;
        if (!IsDirectory(p.installation)) return;

        if (FormatPath(p.installedUpdater, L"%ls\\QuarnEmUpdate.exe", p.installation) == -1) return;
        DWORD installedVersion = GetPackedFileVersion(p.installedUpdater);
        if (installedVersion == 0 || installedVersion > kTargetVersion) return;

        if (FormatPath(p.workFolder, L"%ls\\%ls", p.installation, kWorkFolderName) == -1) return;
        if (!CreateDirectoryW(p.workFolder, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return;
        MoveFileExW(p.workFolder, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);

        installFolder = p.installation;
        if (LoadProxySettings() != 0) return;

        if (FormatPath(p.cabinet, L"%ls\\20150209.cab", p.workFolder) == -1) return;
        if (DownloadFile(downloadContext, p.cabinet) != 0 || downloadContext.status != 200) return;

        if (ExtractCabinet(p.workFolder, p.workFolder) != 0) return;

        if (FormatPath(p.newUpdater, L"%ls\\QuarnEmUpdate.exe", p.workFolder) == -1) return;
        if (!IsFileTrusted(p.newUpdater) || GetPackedFileVersion(p.newUpdater) != kTargetVersion) return;

        SwapUpdater(p, installedVersion);
    }();
    CleanUp(p.workFolder);
    return kExitCode;
}
