// Version and trust probes on a file. Sit on the version-resource functions
// and WinVerifyTrust; used by the update run for the gate and the check of
// the new updater.
#include "update/probes.h"

#include <softpub.h>
#include <wintrust.h>

#include <cstdlib>
#include <memory>

DWORD GetPackedFileVersion(const wchar_t* path) {
    DWORD result = 0;
    DWORD size = GetFileVersionInfoSizeW(path, nullptr);
    if (size != 0) {
        std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[size]);
        VS_FIXEDFILEINFO* info = nullptr;
        UINT infoLength = 0;
        if (block && GetFileVersionInfoW(path, 0, size, block.get()) &&
            VerQueryValueW(block.get(), L"\\", reinterpret_cast<void**>(&info), &infoLength) &&
            info) {
            result = PackVersion(info->dwFileVersionMS, info->dwFileVersionLS);
        }
    }
    // Callers read no error from this probe, whatever happened.
    SetLastError(0);
    return result;
}

bool IsFileTrusted(const wchar_t* path) {
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path;

    WINTRUST_DATA data = {};
    // Up to and including dwUIContext: the size the oldest supported
    // systems know.
    data.cbStruct = offsetof(WINTRUST_DATA, dwUIContext) + sizeof data.dwUIContext;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_IGNORE;
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE;
    data.dwUIContext = WTD_UICONTEXT_EXECUTE;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    return WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data) == ERROR_SUCCESS;
}
