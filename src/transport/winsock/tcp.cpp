// TCP connection layer: Winsock start-up, IPv4 resolution, connect, and the
// one-second waits in front of every send and recv. Sits on ws2_32; used by
// http10.cpp and socks4.cpp, which own the sockets handed out here.
#include "transport/winsock/tcp.h"

#include "download/common.h"
#include "download/error_codes.h"
#include "download/log_progress.h"

#include <cstring>

namespace {

// A call that failed but left no code must not look like success (0) to
// the callers, which would then take the failure for data.
DWORD LastSocketError() {
    DWORD e = static_cast<DWORD>(WSAGetLastError());
    return e != 0 ? e : kErrSocketNoCode;
}

// 1 ready, 0 timed out, SOCKET_ERROR failed.
int WaitReady(SOCKET s, bool forWrite) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval wait = {kReadyWaitSeconds, 0};
    return select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, nullptr, &wait);
}

}  // namespace

DWORD InitWinsock(DownloadContext& context) {
    if (context.winsockStarted) return 0;
    WSADATA data;
    int rc = WSAStartup(kWinsockVersion, &data);
    if (rc != 0) return static_cast<DWORD>(rc);
    context.winsockStarted = true;
    return 0;
}

u_long ResolveHostAddress(const wchar_t* host) {
    if (!host || !*host) return kNoAddress;
    NarrowBuffer narrow = WideToNarrow(host);
    if (!narrow) return kNoAddress;
    // A leading digit means a dotted address; such a text is never looked up
    // as a name, even when it is not a valid address.
    if (narrow[0] >= '0' && narrow[0] <= '9') return inet_addr(narrow.get());
    const hostent* entry = gethostbyname(narrow.get());
    if (!entry || entry->h_addrtype != AF_INET || entry->h_length != 4 || !entry->h_addr_list ||
        !entry->h_addr_list[0]) {
        return kNoAddress;
    }
    u_long address;
    std::memcpy(&address, entry->h_addr_list[0], sizeof address);
    return address;
}

DWORD WinsockTcpConnect(u_long address, int port, SOCKET* socketOut) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        DWORD e = LastSocketError();
        LogLine(L"ERROR:WinsockTcpConnect, socket( AF_INET, SOCK_STREAM, 0 ) returned 0x%08X",
                static_cast<unsigned>(e));
        return e;
    }
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = INADDR_ANY;
    local.sin_port = 0;
    if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == SOCKET_ERROR) {
        DWORD e = LastSocketError();
        closesocket(s);
        LogLine(L"ERROR:WinsockTcpConnect, bind( ) returned 0x%08X", static_cast<unsigned>(e));
        return e;
    }
    sockaddr_in remote = {};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<u_short>(port));
    remote.sin_addr.s_addr = address;
    if (connect(s, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == SOCKET_ERROR) {
        // The caller reports a failed connect; nothing is logged here.
        DWORD e = LastSocketError();
        closesocket(s);
        return e;
    }
    *socketOut = s;
    return 0;
}

DWORD SendWithTimeout(SOCKET s, const char* buffer, int length, int* sentOut) {
    int ready = WaitReady(s, true);
    if (ready == SOCKET_ERROR) return LastSocketError();
    if (ready == 0) return ERROR_TIMEOUT;
    // One send: a blocking socket takes the whole of a request this small.
    int sent = send(s, buffer, length, 0);
    if (sent == SOCKET_ERROR) return LastSocketError();
    if (sentOut) *sentOut = sent;
    return 0;
}

DWORD ReceiveWithTimeout(SOCKET s, char* buffer, int capacity, int* receivedOut) {
    *receivedOut = 0;
    int ready = WaitReady(s, false);
    if (ready == SOCKET_ERROR) return LastSocketError();
    if (ready == 0) return ERROR_TIMEOUT;
    int n = recv(s, buffer, capacity, 0);
    if (n == SOCKET_ERROR) return LastSocketError();
    buffer[n] = '\0';
    *receivedOut = n;
    return 0;
}

void CloseSocket(SOCKET s) {
    shutdown(s, SD_RECEIVE);
    closesocket(s);
}
