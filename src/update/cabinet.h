// Unpacks "20150209.cab" with the system's File Decompression Interface
// (Cabinet.dll by ordinal). Every file lands in the destination folder under
// its stored name; names that would land outside it are refused.
#pragma once

// 0; 6 no FDI context; 13 extraction failed; 111 no room for the backslash;
// otherwise the GetLastError of a failed UTF-8 conversion.
int ExtractCabinet(const wchar_t* cabinetFolder, const wchar_t* destinationFolder);

// True when a name stored in a cabinet stays inside the destination folder.
bool IsSafeCabinetName(const char* name);
