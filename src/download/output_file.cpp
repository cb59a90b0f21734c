// Output file objects: the interface's two defaults and CUFile, a file on disk
// through the runtime library's descriptor functions. The object owns its
// descriptor and closes it in Close and in the destructor; buffers from
// ReadAlloc belong to the caller, who gives them back with Free.
#include "download/output_file.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Larger requests are split so that one runtime call never moves more.
constexpr DWORD kMaxTransferPerCall = 4194304;

// Moves length bytes through call(offset, count) in pieces of at most 4 MiB;
// the first call that moves nothing ends it. Returns the bytes moved.
template <typename Call>
DWORD TransferInPieces(DWORD length, Call call) {
    DWORD total = 0;
    while (total < length) {
        DWORD rest = length - total;
        int moved = call(total, rest < kMaxTransferPerCall ? rest : kMaxTransferPerCall);
        if (moved <= 0) break;
        total += static_cast<DWORD>(moved);
    }
    return total;
}

}  // namespace

bool CGenFile::Read(void*, DWORD, DWORD*) { return false; }

LONG CGenFile::GetSize() { return size; }

CUFile::~CUFile() { Close(); }

bool CUFile::Open(const wchar_t* path) {
    if (open) {
        lastError = ERROR_INVALID_HANDLE;
        return false;
    }
    dirty = false;
    descriptor = _wopen(path, _O_RDWR | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (descriptor == -1) {
        lastError = MapErrnoToWin32(errno);
        return false;
    }
    open = true;
    size = _lseek(descriptor, 0, SEEK_END);
    _lseek(descriptor, 0, SEEK_SET);
    position = 0;
    return true;
}

bool CUFile::Read(void* buffer, DWORD length, DWORD* countOut) {
    if (!open) {
        lastError = ERROR_INVALID_HANDLE;
        return false;
    }
    dirty = false;
    // A short read at the end of the file sets no errno; a stale one from an
    // earlier call must not be reported for it.
    errno = 0;
    auto* out = static_cast<unsigned char*>(buffer);
    DWORD total = TransferInPieces(length, [&](DWORD done, DWORD count) {
        return _read(descriptor, out + done, count);
    });
    if (countOut) *countOut = total;
    if (total != length) {
        lastError = MapErrnoToWin32(errno);
        return false;
    }
    position = _lseek(descriptor, 0, SEEK_CUR);
    return true;
}

bool CUFile::Write(const void* data, DWORD length, DWORD* countOut) {
    if (!open) {
        lastError = ERROR_INVALID_HANDLE;
        return false;
    }
    errno = 0;
    auto* in = static_cast<const unsigned char*>(data);
    DWORD total = TransferInPieces(length, [&](DWORD done, DWORD count) {
        return _write(descriptor, in + done, count);
    });
    if (countOut) *countOut = total;
    if (total != length) {
        lastError = MapErrnoToWin32(errno);
        return false;
    }
    position = _lseek(descriptor, 0, SEEK_CUR);
    dirty = true;
    return true;
}

void* CUFile::ReadAlloc(DWORD length) {
    void* buffer = std::malloc(length);
    if (!buffer) return nullptr;
    std::memset(buffer, 0, length);
    Read(buffer, length, nullptr);
    return buffer;
}

void CUFile::Free(void* buffer) { std::free(buffer); }

LONG CUFile::Seek(LONG offset, int origin) {
    position = _lseek(descriptor, offset, origin);
    return position;
}

void CUFile::Close() {
    if (descriptor != -1) _close(descriptor);
    dirty = false;
    descriptor = -1;
    open = false;
}

LONG CUFile::GetSize() {
    if (dirty) {
        size = _lseek(descriptor, 0, SEEK_END);
        _lseek(descriptor, position, SEEK_SET);
    }
    return size;
}

DWORD MapErrnoToWin32(int error) {
    switch (error) {
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case E2BIG: return ERROR_BAD_ENVIRONMENT;
        case ENOEXEC: return ERROR_BAD_FORMAT;
        case EBADF: return ERROR_INVALID_HANDLE;
        case ECHILD: return ERROR_WAIT_NO_CHILDREN;
        case EAGAIN: return ERROR_NO_PROC_SLOTS;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case EACCES: return ERROR_ACCESS_DENIED;
        case EEXIST: return ERROR_ALREADY_EXISTS;
        case EXDEV: return ERROR_NOT_SAME_DEVICE;
        case ENODEV: return ERROR_INVALID_DRIVE;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case EMFILE: return ERROR_TOO_MANY_OPEN_FILES;
        case ENOSPC: return ERROR_DISK_FULL;
        case EPIPE: return ERROR_BROKEN_PIPE;
        case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
        default: return ERROR_CALL_NOT_IMPLEMENTED;
    }
}
