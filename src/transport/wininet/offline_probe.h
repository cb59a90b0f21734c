// Whether the user put Internet Explorer into offline mode. Stateless; loads
// its own reference to wininet.dll and keeps it. Also the loader that every
// run-time binding uses.
#pragma once

#include <windows.h>

bool IEOffline();

// LoadLibraryW of the DLL's full path in the system directory: the elevated
// program never loads wininet or advapi32 through the search order. Null with
// the thread's last error on failure.
HMODULE LoadSystemLibrary(const wchar_t* name);
