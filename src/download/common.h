// Helpers shared by every subsystem of the download component and the update
// driver: the attempt result type of the transports, the cancellation
// exception, and the two byte/wide text conversions. Buffers handed out here
// are owned by the caller through NarrowBuffer / WideBuffer.
#pragma once

#include <windows.h>

#include <cstdlib>
#include <memory>

// Result of one transport attempt, always read together with a status.
enum TransportResult : DWORD {
    kTransportOk = 0,             // 2xx with the body read, or 304
    kTransportNoConnection = 1,   // failure not worth a retry
    kTransportTransient = 2,      // network failure worth a retry
    kTransportHttpStatus = 3,     // any other status, or a SOCKS refusal
    kTransportStartFailed = 4,    // the transport could not be started
    kTransportNoMemory = 8,       // no memory for the SOCKS request
    kTransportCancelled = 1223,   // the progress listener cancelled
};

// Raised where a progress report answered with -1 means "abort"; caught by each
// transport at its boundary and by the download driver.
struct UserAbort {};

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using NarrowBuffer = std::unique_ptr<char[], FreeDeleter>;
using WideBuffer = std::unique_ptr<wchar_t[], FreeDeleter>;

// Copies text into a new zero-filled buffer of length + 1 bytes; each unit below
// 256 becomes the byte of the same value and the copy stops at the first unit of
// 256 or above. Null when the allocation fails (or text is null).
NarrowBuffer WideToNarrow(const wchar_t* text);
