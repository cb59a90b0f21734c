// TCP connection layer of the Winsock transport: Winsock started once per
// process, IPv4 resolution, connect, and send/receive behind one-second
// readiness waits. Used by the HTTP/1.0 transport and the SOCKS 4 handshake.
// The caller owns the socket WinsockTcpConnect hands out (UniqueSocket) and
// closes it with CloseSocket: shutdown of the receive side, then closesocket.
#pragma once

#include "download/context.h"
#include "download/unique_handle.h"

#include <winsock2.h>

// The resolver's only failure value (also what 255.255.255.255 gives).
constexpr u_long kNoAddress = 0xFFFFFFFF;
// Version word for WSAStartup: Winsock 1.0.
constexpr WORD kWinsockVersion = 0x0001;
// Every send and recv waits at most this long for readiness; the callers
// consult the progress callback once per wait that times out.
constexpr long kReadyWaitSeconds = 1;

// 0, or the WSAStartup result. Sets context.winsockStarted on success; does
// nothing once it is set.
DWORD InitWinsock(DownloadContext& context);
// IPv4 address in network byte order, or kNoAddress. A text starting with a
// digit is a dotted address only (inet_addr); anything else is looked up.
u_long ResolveHostAddress(const wchar_t* host);
// 0 and a connected socket in socketOut, or a Winsock code (5 when the call
// failed without one); nothing is handed out on failure.
DWORD WinsockTcpConnect(u_long address, int port, SOCKET* socketOut);
// One select for writability, then one send of the whole buffer: 0, 1460
// (ERROR_TIMEOUT) when not writable within the wait, or a Winsock code.
DWORD SendWithTimeout(SOCKET s, const char* buffer, int length, int* sentOut);
// One select for readability, then one recv of at most capacity bytes: 0,
// 1460, or a Winsock code. buffer holds capacity + 1 bytes; a zero byte
// follows the data. 0 with a count of 0 means the peer closed its side.
DWORD ReceiveWithTimeout(SOCKET s, char* buffer, int capacity, int* receivedOut);
// shutdown(SD_RECEIVE), then closesocket; results ignored.
void CloseSocket(SOCKET s);

struct SocketTraits {
    using Type = SOCKET;
    static Type None() { return INVALID_SOCKET; }
    static void Close(Type s) { CloseSocket(s); }
};
using UniqueSocket = UniqueAny<SocketTraits>;
