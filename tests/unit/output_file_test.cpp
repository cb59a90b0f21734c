// CUFile against the real file system of the Wine prefix: opening, the
// closed-object rules, offsets after writes and size queries, short reads,
// transfers above the per-call limit, and the errno mapping.
#include "download/output_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

class CUFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
        static int serial = 0;
        folder_ = std::wstring(temp) + L"quarn-output-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                  std::to_wstring(++serial);
        ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr)) << GetLastError();
    }
    void TearDown() override {
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((folder_ + L"\\*").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = found.cFileName;
                if (name == L"." || name == L"..") continue;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    RemoveDirectoryW((folder_ + L"\\" + name).c_str());
                } else {
                    DeleteFileW((folder_ + L"\\" + name).c_str());
                }
            } while (FindNextFileW(find, &found));
            FindClose(find);
        }
        RemoveDirectoryW(folder_.c_str());
    }

    std::wstring Path(const wchar_t* name) const { return folder_ + L"\\" + name; }

    std::string Contents(const std::wstring& path) const {
        std::string data;
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return "<missing>";
        char chunk[65536];
        DWORD got = 0;
        while (ReadFile(h, chunk, sizeof chunk, &got, nullptr) && got > 0) data.append(chunk, got);
        CloseHandle(h);
        return data;
    }

    void Put(const std::wstring& path, const std::string& data) const {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        DWORD put = 0;
        WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &put, nullptr);
        CloseHandle(h);
    }

    std::wstring folder_;
};

TEST_F(CUFileTest, OpenFailureKeepsTheMappedCode) {
    struct Case { std::wstring path; DWORD code; } cases[] = {
        {Path(L"no-such-folder\\file.dld"), ERROR_FILE_NOT_FOUND},
        {folder_, ERROR_ACCESS_DENIED},  // a folder cannot be opened as a file
    };
    for (const auto& c : cases) {
        CUFile file;
        EXPECT_FALSE(file.Open(c.path.c_str()));
        EXPECT_EQ(c.code, file.lastError) << std::string(c.path.begin(), c.path.end());
        EXPECT_FALSE(file.open);
        EXPECT_EQ(-1, file.descriptor);
    }
}

TEST_F(CUFileTest, OpenEmptiesAnExistingFile) {
    std::wstring path = Path(L"old.dld");
    Put(path, std::string(50, 'x'));
    CUFile file;
    ASSERT_TRUE(file.Open(path.c_str()));
    EXPECT_EQ(0, file.GetSize());
    EXPECT_EQ(0, file.Seek(0, SEEK_CUR));
    file.Close();
    EXPECT_EQ("", Contents(path));
}

TEST_F(CUFileTest, SecondOpenFailsAndTheFirstStaysUsable) {
    std::wstring first = Path(L"first.dld");
    std::wstring second = Path(L"second.dld");
    CUFile file;
    ASSERT_TRUE(file.Open(first.c_str()));
    EXPECT_FALSE(file.Open(second.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), file.lastError);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(second.c_str())) << "second path was touched";
    EXPECT_TRUE(file.Write("xyz", 3, nullptr));
    file.Close();
    EXPECT_EQ("xyz", Contents(first));
}

TEST_F(CUFileTest, ClosedObjectRefusesTransfersAndCanBeReopened) {
    CUFile file;
    char buffer[4] = {};
    for (int round = 0; round < 2; ++round) {
        DWORD count = 77;
        file.lastError = 0;
        EXPECT_FALSE(file.Write("ab", 2, &count)) << "round " << round;
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), file.lastError);
        EXPECT_EQ(77u, count) << "count out must stay untouched";
        file.lastError = 0;
        EXPECT_FALSE(file.Read(buffer, 2, &count));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), file.lastError);
        EXPECT_EQ(77u, count);
        EXPECT_EQ(-1, file.Seek(0, SEEK_SET));

        // Second round: the same after a full open/close cycle, closed twice.
        std::wstring path = Path(L"cycle.dld");
        ASSERT_TRUE(file.Open(path.c_str()));
        file.Close();
        file.Close();
        EXPECT_FALSE(file.open);
        EXPECT_FALSE(file.dirty);
        EXPECT_EQ(-1, file.descriptor);
    }
    // Reopening after Close works and truncates again.
    std::wstring path = Path(L"cycle.dld");
    ASSERT_TRUE(file.Open(path.c_str()));
    EXPECT_TRUE(file.Write("again", 5, nullptr));
    file.Close();
    EXPECT_EQ("again", Contents(path));
}

TEST_F(CUFileTest, WritesMoveTheOffsetAndSizeQueriesRestoreIt) {
    std::wstring path = Path(L"body.dld");
    CUFile file;
    ASSERT_TRUE(file.Open(path.c_str()));

    DWORD count = 77;
    EXPECT_TRUE(file.Write("", 0, &count));
    EXPECT_EQ(0u, count);
    EXPECT_TRUE(file.dirty) << "a write of nothing still marks the size stale";

    std::string hundred(100, 'a');
    ASSERT_TRUE(file.Write(hundred.data(), 100, &count));
    EXPECT_EQ(100u, count);
    EXPECT_EQ(100, file.GetSize());
    EXPECT_TRUE(file.dirty);
    ASSERT_TRUE(file.Write("B", 1, nullptr));
    EXPECT_EQ(101, file.GetSize());

    // A size query in the middle must leave the offset where the write left it.
    EXPECT_EQ(10, file.Seek(10, SEEK_SET));
    ASSERT_TRUE(file.Write("C", 1, nullptr));
    EXPECT_EQ(101, file.GetSize());
    ASSERT_TRUE(file.Write("D", 1, nullptr));
    file.Close();
    EXPECT_EQ(std::string(10, 'a') + "CD" + std::string(88, 'a') + "B", Contents(path));
}

TEST_F(CUFileTest, ReadPastTheEndReportsWhatWasThere) {
    std::wstring path = Path(L"short.dld");
    CUFile file;
    ASSERT_TRUE(file.Open(path.c_str()));
    ASSERT_TRUE(file.Write("0123456789", 10, nullptr));
    ASSERT_EQ(0, file.Seek(0, SEEK_SET));
    char buffer[20];
    std::memset(buffer, '#', sizeof buffer);
    DWORD count = 0;
    errno = EACCES;  // stale from some earlier call
    EXPECT_FALSE(file.Read(buffer, 20, &count));
    EXPECT_EQ(10u, count);
    EXPECT_EQ(0, std::memcmp(buffer, "0123456789##########", 20));
    EXPECT_EQ(static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED), file.lastError);
    EXPECT_FALSE(file.dirty);

    ASSERT_EQ(2, file.Seek(2, SEEK_SET));
    void* block = file.ReadAlloc(12);
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(0, std::memcmp(block, "23456789\0\0\0\0", 12));
    file.Free(block);
    file.Free(nullptr);
}

TEST_F(CUFileTest, TransfersAboveTheCallLimitArriveWhole) {
    std::wstring path = Path(L"large.dld");
    const DWORD length = 9 * 1024 * 1024 + 17;  // three calls each way
    std::vector<unsigned char> data(length);
    for (DWORD i = 0; i < length; ++i) data[i] = static_cast<unsigned char>((i * 31 + i / 4096) % 251);
    CUFile file;
    ASSERT_TRUE(file.Open(path.c_str()));
    DWORD count = 0;
    ASSERT_TRUE(file.Write(data.data(), length, &count));
    EXPECT_EQ(length, count);
    EXPECT_EQ(static_cast<LONG>(length), file.GetSize());

    ASSERT_EQ(0, file.Seek(0, SEEK_SET));
    std::vector<unsigned char> back(length);
    ASSERT_TRUE(file.Read(back.data(), length, &count));
    EXPECT_EQ(length, count);
    EXPECT_TRUE(back == data);
    EXPECT_EQ(static_cast<LONG>(length), file.Seek(0, SEEK_CUR));
}

TEST_F(CUFileTest, DestructionClosesTheDescriptor) {
    std::wstring path = Path(L"owned.dld");
    auto exclusive = [&] {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        CloseHandle(h);
        return true;
    };
    {
        CUFile file;
        ASSERT_TRUE(file.Open(path.c_str()));
        EXPECT_FALSE(exclusive()) << "the open descriptor should block an exclusive open";
    }
    EXPECT_TRUE(exclusive());
}

TEST(MapErrnoToWin32, Table) {
    struct Case { int error; DWORD code; } cases[] = {
        {ENOENT, 2},    {E2BIG, 10},   {ENOEXEC, 11}, {EBADF, 6},      {ECHILD, 128}, {EAGAIN, 89},
        {ENOMEM, 8},    {EACCES, 5},   {EEXIST, 183}, {EXDEV, 17},     {ENODEV, 15},  {ENOTDIR, 3},
        {EINVAL, 87},   {EMFILE, 4},   {ENOSPC, 112}, {EPIPE, 109},    {ENOTEMPTY, 145},
        {0, 120},       {1, 120},      {EISDIR, 120}, {ERANGE, 120},   {-1, 120},     {1000, 120},
    };
    // The numbers are the Windows runtime's, not the POSIX ones of Linux.
    static_assert(ENOTEMPTY == 41 && EXDEV == 18 && ENODEV == 19, "Windows runtime errno values");
    for (const auto& c : cases) EXPECT_EQ(c.code, MapErrnoToWin32(c.error)) << "errno " << c.error;
}

}  // namespace
