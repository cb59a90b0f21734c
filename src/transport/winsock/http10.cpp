// HTTP/1.0 transport over Winsock: one attempt, one connection, one GET.
// Sits on the TCP layer (tcp.cpp), the SOCKS handshake (socks4.cpp) and the
// text logic in http10_parse.cpp; used by the download driver. Inside the
// attempt a failed call raises its code as a DWORD and a cancel raises
// UserAbort; HttpGetWinsock catches exactly these two.
#include "transport/winsock/http10.h"

#include "download/error_codes.h"
#include "download/log_progress.h"
#include "transport/winsock/http10_parse.h"
#include "transport/winsock/socks4.h"
#include "transport/winsock/tcp.h"

#include <cstdint>
#include <new>

namespace {

int Report(DownloadContext& context, int kind, int value) {
    return context.progressCallback ? context.progressCallback(kind, value, nullptr) : 0;
}

// Narrow copies and the request text are small, but an allocation failure
// must still end the attempt cleanly: it is raised like a failed call.
void SendHttpRequest(const std::wstring& authority, DownloadContext& context, SOCKET s,
                     const std::wstring& target) {
    NarrowBuffer narrowTarget = WideToNarrow(target.c_str());
    NarrowBuffer narrowAuthority = WideToNarrow(authority.c_str());
    NarrowBuffer narrowAgent = WideToNarrow(userAgent);
    if (!narrowTarget || !narrowAuthority || !narrowAgent) throw DWORD{ERROR_NOT_ENOUGH_MEMORY};
    std::string request;
    try {
        request = BuildHttpRequest(narrowTarget.get(), narrowAuthority.get(), narrowAgent.get(),
                                   context.proxyMode, context.authMode, context.proxyAuthToken);
    } catch (const std::bad_alloc&) {
        throw DWORD{ERROR_NOT_ENOUGH_MEMORY};
    }
    narrowTarget.reset();
    narrowAuthority.reset();
    narrowAgent.reset();
    int sent = 0;
    DWORD rc = SendWithTimeout(s, request.data(), static_cast<int>(request.size()), &sent);
    if (rc != 0) throw rc;
}

// Reads the answer until the server closes. The header phase holds at most
// kResponseBufferSize bytes; after it, each receive is one body piece that
// goes straight to the file.
void ReceiveHttpResponse(CGenFile* outputFile, DWORD& statusOut, DownloadContext& context,
                         SOCKET s, bool& sizeAnnounced, std::string& responseHeaders) {
    char buffer[kResponseBufferSize + 1];
    int have = 0;
    bool headerPhase = true;
    int announced = 0;
    DWORD total = 0;                // body bytes written to the file
    std::uint64_t bodyReceived = 0;  // body bytes read, written or not
    while (have < kResponseBufferSize) {
        int n = 0;
        DWORD rc = ReceiveWithTimeout(s, buffer + have, kResponseBufferSize - have, &n);
        if (rc == ERROR_TIMEOUT) {
            if (Report(context, kProgressChunk, 0) == -1) throw UserAbort{};
            continue;
        }
        if (rc != 0) throw rc;
        if (n == 0) break;  // the server closed: the answer is complete

        const char* body = buffer;
        int bodyLength = n;
        if (headerPhase) {
            int held = have + n;
            std::size_t h = FindHeaderEnd(buffer, static_cast<std::size_t>(held));
            if (h == kHeaderEndNotFound) {
                have = held;
                continue;
            }
            // The header text ends with the line end of its last line.
            std::string_view headerText(buffer, h + 2);
            HttpHeaderFacts facts;
            try {
                facts = ParseHttpHeader(headerText);
            } catch (const std::bad_alloc&) {
                throw DWORD{ERROR_NOT_ENOUGH_MEMORY};
            }
            statusOut = facts.status;
            if (facts.contentLength != 0) {
                sizeAnnounced = true;
                announced = facts.contentLength;
                Report(context, kProgressLength, announced);
            }
            // Kept as received: the driver reads a redirect's location from
            // it, and a location's case matters.
            try {
                responseHeaders.assign(headerText);
            } catch (const std::bad_alloc&) {
                throw DWORD{ERROR_NOT_ENOUGH_MEMORY};
            }
            body = buffer + h + 4;
            bodyLength = held - static_cast<int>(h + 4);
            headerPhase = false;
            have = 0;
        }
        bodyReceived += static_cast<std::uint64_t>(bodyLength);
        // A receive that ended exactly with the header carries no piece to
        // report: a kind-6 report of 0 would read as an idle second.
        if (bodyLength > 0 && outputFile && statusOut / 100 == 2) {
            outputFile->Write(body, static_cast<DWORD>(bodyLength), nullptr);
            total += static_cast<DWORD>(bodyLength);
            if (Report(context, kProgressChunk, bodyLength) == -1) throw UserAbort{};
            if (sizeAnnounced) Report(context, kProgressReceived, static_cast<int>(total));
        }
    }
    // A 2xx body cut short must not pass for the whole file.
    if (!headerPhase && statusOut / 100 == 2 && announced > 0 &&
        bodyReceived < static_cast<std::uint64_t>(announced)) {
        throw kErrPeerClosedEarly;
    }
}

}  // namespace

TransportResult HttpGetWinsock(std::string& responseHeaders, DownloadContext& context,
                               const wchar_t* url, CGenFile* outputFile, DWORD& statusOut) {
    LogLine(L"HttpGetWinsock(%ls)", url ? url : L"");
    statusOut = 0;
    bool sizeAnnounced = false;

    DWORD rc = InitWinsock(context);
    if (rc != 0) {
        LogLine(L"ERROR:HttpGetWinsock, InitWinsock() returned 0x%08X", static_cast<unsigned>(rc));
        statusOut = rc;
        return kTransportStartFailed;
    }

    WinsockUrlParts parts;
    try {
        parts = SplitWinsockUrl(context, url);
    } catch (const std::bad_alloc&) {
        statusOut = ERROR_NOT_ENOUGH_MEMORY;
        return kTransportNoConnection;
    }

    // An empty or unknown host (unknown scheme, mode 1) ends here like a
    // failed connect; no socket exists yet.
    UniqueSocket connection;
    DWORD code = WSAHOST_NOT_FOUND;
    u_long address = ResolveHostAddress(parts.connectionHost.c_str());
    if (address != kNoAddress) {
        SOCKET s = INVALID_SOCKET;
        code = WinsockTcpConnect(address, parts.connectionPort, &s);
        if (code == 0) connection.Reset(s);
    }
    if (!connection) {
        LogLine(L"ERROR:HttpGetWinsock, WinsockTcpConnect() returned 0x%08X",
                static_cast<unsigned>(code));
        statusOut = code;
        return kTransportNoConnection;
    }

    TransportResult result = kTransportOk;
    try {
        DWORD socks = 0;
        if (context.proxyMode == kProxySocks) {
            socks = SocksConnect(context.proxyUser.c_str(), statusOut, context, connection.Get(),
                                 parts.authority.c_str());
        }
        if (socks != 0) {
            result = static_cast<TransportResult>(socks);
        } else {
            SendHttpRequest(parts.authority, context, connection.Get(), parts.target);
            ReceiveHttpResponse(outputFile, statusOut, context, connection.Get(), sizeAnnounced,
                                responseHeaders);
            result = (statusOut / 100 == 2 || statusOut == 304) ? kTransportOk
                                                                 : kTransportHttpStatus;
        }
    } catch (DWORD failed) {
        statusOut = failed;
        LogLine(L"ERROR:HttpGetWinsock, catch returned 0x%08X", static_cast<unsigned>(failed));
        result = kTransportTransient;
    } catch (const UserAbort&) {
        result = kTransportCancelled;
    }

    // The one closing path after a connect: the end report first, then the
    // socket.
    if (sizeAnnounced) Report(context, kProgressDone, 0);
    connection.Reset();
    return result;
}

void SelectProxyAuthMode(const std::string& responseHeaders, DownloadContext& context) {
    context.authMode = kAuthOther;
    try {
        context.authMode = ChooseProxyAuthMode(responseHeaders);
    } catch (const std::bad_alloc&) {
        // No copy to scan: Basic cannot be confirmed, WinInet takes over.
    }
}
