// Cabinet extraction pieces that need no cabinet: which stored names may be
// written below the destination, and how the folder arguments are measured
// in UTF-8 bytes before the library is asked anything. Extraction of real
// cabinets is driven from the scenario tier (tests/scenario/test_cabinet.py).
#include "update/cabinet.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(IsSafeCabinetName, Table) {
    struct Case { const char* name; bool safe; } cases[] = {
        {"QuarnEmUpdate.exe", true},
        {"2218.sum", true},
        {"sub\\inner.txt", true},
        {"sub/inner.txt", true},
        {"a\\b\\c.d.e", true},
        {"..foo", true},             // dots that are part of a name
        {"foo..", true},
        {"a b.txt", true},
        {"na\xC3\xAFve.txt", true},  // UTF-8
        {"COM10", true},
        {"console.txt", true},
        {"nul_file", true},
        {"", false},
        {"..", false},
        {"..\\x", false},
        {"../x", false},
        {"a\\..\\..\\x", false},
        {"a/../x", false},           // even when it would stay inside
        {"a\\..", false},
        {".\\x", false},
        {"...\\x", false},           // dots and blanks only: Windows trims them
        {".. \\x", false},
        {"a\\ . \\x", false},
        {" ", false},
        {"\\x", false},
        {"/x", false},
        {"\\\\server\\share\\x", false},
        {"\\\\?\\C:\\x", false},
        {"\\\\.\\PhysicalDrive0", false},
        {"C:\\x", false},
        {"C:x", false},
        {"x:y", false},              // alternate data stream
        {"sub\\x:y", false},
        {"NUL", false},
        {"con.txt", false},
        {"sub\\COM1", false},
        {"lpt9.log", false},
        {"aux .txt", false},
        {"CONOUT$", false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.safe, IsSafeCabinetName(c.name)) << '"' << c.name << '"';
    EXPECT_FALSE(IsSafeCabinetName(nullptr));
}

// A rooted folder path of exactly `bytes` UTF-8 bytes; `tail` ends it.
std::wstring FolderOfBytes(size_t bytes, const std::wstring& tail = L"", size_t tailBytes = 0) {
    std::wstring path = L"C:\\quarn-missing\\";
    path.append(bytes - path.size() - tailBytes, L'a');
    return path + tail;
}

TEST(ExtractCabinet, FolderLengthsAreMeasuredInUtf8Bytes) {
    wchar_t temp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
    std::wstring existing(temp);
    existing.pop_back();  // no trailing backslash

    struct Case { const char* what; std::wstring cabinetFolder, destination; int result; } cases[] = {
        {"258 bytes leave room for the backslash", FolderOfBytes(258), existing, ERROR_INVALID_DATA},
        {"259 bytes do not", FolderOfBytes(259), existing, ERROR_BUFFER_OVERFLOW},
        {"258 characters, 259 bytes", FolderOfBytes(259, L"\u00e9", 2), existing, ERROR_BUFFER_OVERFLOW},
        {"257 characters, 259 bytes", FolderOfBytes(259, L"\u20ac", 3), existing, ERROR_BUFFER_OVERFLOW},
        {"260 bytes cannot be converted", FolderOfBytes(260), existing, ERROR_INSUFFICIENT_BUFFER},
        {"destination of 260 bytes", existing, FolderOfBytes(260), ERROR_INSUFFICIENT_BUFFER},
        {"no cabinet in the folder", existing, existing, ERROR_INVALID_DATA},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.result, ExtractCabinet(c.cabinetFolder.c_str(), c.destination.c_str())) << c.what;
    }
}

}  // namespace
