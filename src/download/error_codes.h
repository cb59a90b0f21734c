// The program's own fixed result codes. Everything else it reports is a
// Windows, Winsock or WinInet error code.
#pragma once

#include <windows.h>

// Download driver results.
constexpr DWORD kErrTransferFailed = 0x20000004;   // no connection, network error, 5xx, SOCKS 91/92
constexpr DWORD kErrProxyAuthFailed = 0x20000005;  // 407, or SOCKS 93
constexpr DWORD kErrHttpStatus = 0x20000006;       // any other unsuccessful status

// Winsock: a failed socket call whose WSAGetLastError reads 0.
constexpr DWORD kErrSocketNoCode = ERROR_ACCESS_DENIED;  // 5, as the connect layer uses
// Winsock: the peer closed before the announced body, or before the SOCKS reply.
constexpr DWORD kErrPeerClosedEarly = ERROR_HANDLE_EOF;  // 38

// WinInet: the binding has no root handle although no call reported an error.
constexpr DWORD kErrNoRootHandle = ERROR_INVALID_HANDLE;  // 6
// WinInet: a URL with neither "http://" nor "https://".
constexpr DWORD kErrUnrecognizedScheme = 12006;  // ERROR_INTERNET_UNRECOGNIZED_SCHEME
// WinInet: the body ended before the announced Content-Length.
constexpr DWORD kErrConnectionAborted = 12030;   // ERROR_INTERNET_CONNECTION_ABORTED
