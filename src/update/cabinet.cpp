// Cabinet extraction for the update run: the FDI callbacks (heap memory, file
// access on UTF-8 names through CreateFileW) and the notification handler
// that places every stored file below the destination folder. Cabinet.dll is
// bound by ordinal through the import library made from cabinet_ordinals.def.
// Nothing is handed out; every handle the library opens is closed through
// FdiClose or the close notification.
#include "update/cabinet.h"

#include <windows.h>

#include <fcntl.h>
#include <fdi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kPathBytes = 260;
constexpr wchar_t kCabinetName[] = L"20150209.cab";

// The library's own open flags; all other bits are ignored.
constexpr int kOpenWriteOnly = _O_WRONLY;                       // 1
constexpr int kOpenReadWrite = _O_RDWR;                         // 2
constexpr int kOpenCreate = _O_CREAT;                           // 0x100
constexpr int kOpenForExtraction = _O_WRONLY | _O_CREAT | _O_TRUNC;  // 0x301

HANDLE AsHandle(INT_PTR hf) { return reinterpret_cast<HANDLE>(hf); }

FNALLOC(FdiAlloc) { return std::malloc(cb); }

FNFREE(FdiFree) { std::free(pv); }

FNOPEN(FdiOpen) {
    (void)pmode;
    wchar_t wideName[kPathBytes];
    if (MultiByteToWideChar(CP_UTF8, 0, pszFile, -1, wideName, kPathBytes) == 0) return -1;
    DWORD access = GENERIC_READ;
    if (oflag & kOpenReadWrite) {
        access = GENERIC_READ | GENERIC_WRITE;
    } else if (oflag & kOpenWriteOnly) {
        access = GENERIC_WRITE;
    }
    DWORD disposition = (oflag & kOpenCreate) ? CREATE_ALWAYS : OPEN_EXISTING;
    // INVALID_HANDLE_VALUE is the -1 the library takes as failure.
    return reinterpret_cast<INT_PTR>(CreateFileW(wideName, access, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                                 nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

FNREAD(FdiRead) {
    DWORD done = 0;
    if (!ReadFile(AsHandle(hf), pv, cb, &done, nullptr)) return static_cast<UINT>(-1);
    return done;
}

FNWRITE(FdiWrite) {
    DWORD done = 0;
    if (!WriteFile(AsHandle(hf), pv, cb, &done, nullptr)) return static_cast<UINT>(-1);
    return done;
}

FNCLOSE(FdiClose) { return CloseHandle(AsHandle(hf)) ? 0 : -1; }

// SEEK_SET/CUR/END have the values of FILE_BEGIN/CURRENT/END.
FNSEEK(FdiSeek) { return static_cast<__LONG32>(SetFilePointer(AsHandle(hf), dist, nullptr, seektype)); }

FNFDINOTIFY(FdiNotify) {
    switch (fdint) {
        case fdintCABINET_INFO:
        case fdintPARTIAL_FILE:
        case fdintENUMERATE:
            return 0;
        case fdintCOPY_FILE: {
            // A stored name is data from the network: one that would leave the
            // destination folder ends the extraction before anything is created.
            if (!IsSafeCabinetName(pfdin->psz1)) return -1;
            char target[kPathBytes];
            int n = std::snprintf(target, sizeof target, "%s\\%s",
                                  static_cast<const char*>(pfdin->pv), pfdin->psz1);
            // A cut path would name some other file.
            if (n < 0 || n >= kPathBytes) return -1;
            return FdiOpen(target, kOpenForExtraction, 0);
        }
        case fdintCLOSE_FILE_INFO:
            // Stored date, time and attributes are deliberately not applied.
            return CloseHandle(AsHandle(pfdin->hf)) ? TRUE : FALSE;
        case fdintNEXT_CABINET:
            // The download is one cabinet; a set cannot be completed.
            return -1;
        default:
            return -1;
    }
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Windows treats a component of only dots and spaces as "." or "..", and the
// reserved device names as devices in any folder.
bool IsDangerousComponent(const char* begin, const char* end) {
    const char* p = begin;
    while (p < end && (*p == '.' || *p == ' ')) ++p;
    if (p == end && begin != end) return true;

    // The base name before any extension and trailing blanks decides.
    const char* stem = begin;
    while (stem < end && *stem != '.') ++stem;
    while (stem > begin && stem[-1] == ' ') --stem;
    size_t length = static_cast<size_t>(stem - begin);
    auto is = [&](const char* reserved) {
        return length == std::strlen(reserved) && _strnicmp(begin, reserved, length) == 0;
    };
    if (is("CON") || is("PRN") || is("AUX") || is("NUL") || is("CONIN$") || is("CONOUT$")) return true;
    if (length == 4 && (_strnicmp(begin, "COM", 3) == 0 || _strnicmp(begin, "LPT", 3) == 0) &&
        begin[3] >= '1' && begin[3] <= '9') {
        return true;
    }
    return false;
}

}  // namespace

bool IsSafeCabinetName(const char* name) {
    if (!name || !*name) return false;
    // Rooted ("\x", "/x", "\\server\x", "\\?\C:\x") and drive-relative names.
    if (IsSeparator(name[0])) return false;
    // A colon is a drive ("C:x") or an alternate data stream ("x:y").
    if (std::strchr(name, ':')) return false;
    const char* begin = name;
    for (const char* p = name;; ++p) {
        if (*p == '\0' || IsSeparator(*p)) {
            if (IsDangerousComponent(begin, p)) return false;
            if (*p == '\0') break;
            begin = p + 1;
        }
    }
    return true;
}

int ExtractCabinet(const wchar_t* cabinetFolder, const wchar_t* destinationFolder) {
    char cabinetPath[kPathBytes];
    char cabinetName[kPathBytes];
    char destination[kPathBytes];

    int n = WideCharToMultiByte(CP_UTF8, 0, cabinetFolder, -1, cabinetPath, kPathBytes, nullptr, nullptr);
    if (n == 0) return static_cast<int>(GetLastError());
    // n counts the terminating zero; the backslash needs one more byte.
    if (n + 1 > kPathBytes) return ERROR_BUFFER_OVERFLOW;
    cabinetPath[n - 1] = '\\';
    cabinetPath[n] = '\0';

    if (WideCharToMultiByte(CP_UTF8, 0, kCabinetName, -1, cabinetName, kPathBytes, nullptr, nullptr) == 0)
        return static_cast<int>(GetLastError());
    if (WideCharToMultiByte(CP_UTF8, 0, destinationFolder, -1, destination, kPathBytes, nullptr, nullptr) == 0)
        return static_cast<int>(GetLastError());

    ERF error;
    std::memset(&error, 0, sizeof error);
    HFDI context = FDICreate(FdiAlloc, FdiFree, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek, cpuUNKNOWN, &error);
    if (!context) return ERROR_INVALID_HANDLE;

    int result = FDICopy(context, cabinetName, cabinetPath, 0, FdiNotify, nullptr, destination)
                     ? ERROR_SUCCESS
                     : ERROR_INVALID_DATA;
    FDIDestroy(context);
    return result;
}
