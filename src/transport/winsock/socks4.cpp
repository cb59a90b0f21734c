// SOCKS 4 handshake of the Winsock transport. Sits on the TCP layer's
// resolver and timed send/receive; HttpGetWinsock owns the socket and
// closes it whatever happens here.
#include "transport/winsock/socks4.h"

#include "download/common.h"
#include "download/error_codes.h"
#include "download/log_progress.h"
#include "transport/winsock/http10_parse.h"
#include "transport/winsock/tcp.h"

#include <cstdlib>
#include <cstring>
#include <new>

/*
 * CONNECT request (client to proxy), integers most significant byte first:
 *
 *   +----+----+----+----+----+----+----+----+----+----+....+----+
 *   | VN | CD | DSTPORT |      DSTIP        | USERID       |NULL|
 *   +----+----+----+----+----+----+----+----+----+----+....+----+
 *      1    1      2              4           L bytes        1
 *   VN = 4, CD = 1 (CONNECT); L may be 0.
 *
 * Reply (proxy to client), always 8 bytes:
 *
 *   +----+----+----+----+----+----+----+----+
 *   | VN | CD | DSTPORT |      DSTIP        |
 *   +----+----+----+----+----+----+----+----+
 *      1    1      2              4
 *   CD = 90 granted; 91 rejected or failed, 92 and 93 identification
 *   failures. VN, DSTPORT and DSTIP are not used.
 */

SocksDestination SplitSocksDestination(const wchar_t* authority) {
    SocksDestination destination;
    std::wstring_view text = authority ? std::wstring_view(authority) : std::wstring_view();
    std::size_t colon = text.find(L':');
    destination.host.assign(text.substr(0, colon));
    if (colon != std::wstring_view::npos) {
        u_short port = static_cast<u_short>(ParseUnsignedDecimal(text.substr(colon + 1)) & 0xFFFF);
        if (port != 0) destination.port = port;
    }
    return destination;
}

void FillSocks4ConnectRequest(unsigned char* out, u_short port, u_long address,
                              const char* userId, std::size_t userIdLength) {
    out[0] = kSocks4Version;
    out[1] = kSocks4Connect;
    out[2] = static_cast<unsigned char>(port >> 8);
    out[3] = static_cast<unsigned char>(port & 0xFF);
    std::memcpy(out + 4, &address, 4);  // already in network order
    if (userIdLength) std::memcpy(out + 8, userId, userIdLength);
    out[8 + userIdLength] = 0;
}

DWORD SocksConnect(const wchar_t* proxyUser, DWORD& statusOut, DownloadContext& context,
                   SOCKET s, const wchar_t* authority) {
    SocksDestination destination;
    try {
        destination = SplitSocksDestination(authority);
    } catch (const std::bad_alloc&) {
        return kTransportNoMemory;
    }
    // An unresolvable destination would go out as 255.255.255.255 and only
    // be refused by the proxy; it is told apart here, before any byte is
    // sent, as the same failure as an unresolvable direct host.
    u_long address = ResolveHostAddress(destination.host.c_str());
    if (address == kNoAddress) {
        statusOut = WSAHOST_NOT_FOUND;
        return kTransportNoConnection;
    }

    NarrowBuffer userId = WideToNarrow(proxyUser ? proxyUser : L"");
    if (!userId) return kTransportNoMemory;
    std::size_t userIdLength = std::strlen(userId.get());
    std::unique_ptr<unsigned char[], FreeDeleter> request(
        static_cast<unsigned char*>(std::malloc(kSocks4FixedSize + userIdLength)));
    if (!request) return kTransportNoMemory;
    FillSocks4ConnectRequest(request.get(), destination.port, address, userId.get(), userIdLength);
    userId.reset();

    // Whatever is raised from here on releases the request on its way out.
    int sent = 0;
    DWORD rc = SendWithTimeout(s, reinterpret_cast<const char*>(request.get()),
                               static_cast<int>(kSocks4FixedSize + userIdLength), &sent);
    if (rc != 0) throw rc;

    // One byte more for the zero ReceiveWithTimeout puts after the data.
    unsigned char reply[kSocks4ReplySize + 1] = {};
    int received = 0;
    while (received < kSocks4ReplySize) {
        int n = 0;
        rc = ReceiveWithTimeout(s, reinterpret_cast<char*>(reply) + received,
                                kSocks4ReplySize - received, &n);
        if (rc == ERROR_TIMEOUT) {
            ProgressCallback report = context.progressCallback;
            if (report && report(kProgressChunk, 0, nullptr) == -1) throw UserAbort{};
            continue;
        }
        if (rc != 0) throw rc;
        // A proxy that hangs up mid-reply would otherwise be read forever.
        if (n == 0) throw kErrPeerClosedEarly;
        received += n;
    }
    request.reset();

    if (Socks4Granted(reply)) return 0;
    statusOut = reply[1];
    return kTransportHttpStatus;
}
