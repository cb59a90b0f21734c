// TCP connection layer: Winsock started once per process, IPv4 resolution,
// connect, and send/receive behind one-second readiness waits. The caller
// owns the socket WinsockTcpConnect hands out and closes it with CloseSocket.
#pragma once

#include "download/context.h"

#include <winsock2.h>

constexpr u_long kNoAddress = 0xFFFFFFFF;

DWORD InitWinsock(DownloadContext& context);
u_long ResolveHostAddress(const wchar_t* host);
DWORD WinsockTcpConnect(u_long address, int port, SOCKET* socketOut);
DWORD SendWithTimeout(SOCKET s, const char* buffer, int length, int* sentOut);
// buffer holds capacity + 1 bytes; a zero byte follows the data.
DWORD ReceiveWithTimeout(SOCKET s, char* buffer, int capacity, int* receivedOut);
// shutdown(SD_RECEIVE), then closesocket; results ignored.
void CloseSocket(SOCKET s);
