// Output file objects: CGenFile is the interface the transports write bodies
// through (they use only Write); CUFile is its one implementation, a file on
// disk through the runtime library's descriptor functions. Every failure is
// reported by the result and kept as a Windows code in lastError.
#pragma once

#include <windows.h>

class CGenFile {
public:
    virtual ~CGenFile() = default;
    virtual bool Read(void* buffer, DWORD length, DWORD* countOut);
    virtual bool Write(const void* data, DWORD length, DWORD* countOut) = 0;
    virtual void* ReadAlloc(DWORD length) = 0;
    virtual void Free(void* buffer) = 0;
    virtual LONG Seek(LONG offset, int origin) = 0;
    virtual void Close() = 0;
    virtual LONG GetSize();

protected:
    LONG position;
    LONG size;
};

class CUFile : public CGenFile {
public:
    CUFile() = default;
    ~CUFile() override;
    CUFile(const CUFile&) = delete;
    CUFile& operator=(const CUFile&) = delete;

    bool Open(const wchar_t* path);
    bool Read(void* buffer, DWORD length, DWORD* countOut) override;
    bool Write(const void* data, DWORD length, DWORD* countOut) override;
    void* ReadAlloc(DWORD length) override;
    void Free(void* buffer) override;
    LONG Seek(LONG offset, int origin) override;
    void Close() override;
    LONG GetSize() override;

    bool open = false;
    bool dirty = false;
    int descriptor = -1;
    DWORD lastError = 0;
};

// Windows code for the runtime library's errno after a failed file function.
DWORD MapErrnoToWin32(int error);
