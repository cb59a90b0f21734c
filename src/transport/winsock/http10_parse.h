// The deciding logic of the HTTP/1.0 transport, apart from the sockets: the
// split of a URL into target, authority and connection, the request text,
// the header-phase look-ups of a response, and the scan of a 407 answer's
// challenges. Everything takes and returns text; nothing here touches the
// network. The only exception any of them raises is std::bad_alloc.
#pragma once

#include "download/context.h"

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

// Bytes of response held while the header is incomplete; also the size of
// each receive in the body phase.
constexpr int kResponseBufferSize = 8192;
constexpr std::size_t kHeaderEndNotFound = static_cast<std::size_t>(-1);

struct WinsockUrlParts {
    std::wstring target;          // request target of the request line
    std::wstring authority;       // host[:port] as written: the Host line and SOCKS destination
    std::wstring connectionHost;  // where the TCP connection goes; empty: no connection possible
    int connectionPort = 0;
};

// Only "http://" and "https://" in lower case are recognised; any other URL,
// and any mode but 0, -1, 2 and 3, leaves every part empty.
WinsockUrlParts SplitWinsockUrl(const wchar_t* url, ProxyMode proxyMode,
                                const std::wstring& proxyHost, int proxyPort);
inline WinsockUrlParts SplitWinsockUrl(const DownloadContext& context, const wchar_t* url) {
    return SplitWinsockUrl(url, context.proxyMode, context.proxyHost, context.proxyPort);
}

// Digits after leading blanks up to the first non-digit; 0 when there are
// none. Kept modulo 2^32, so the low 16 bits of a port are always right.
DWORD ParseUnsignedDecimal(std::string_view text);
DWORD ParseUnsignedDecimal(std::wstring_view text);

// The whole GET request. The Proxy-Authorization line is present only with
// authMode 1 and a non-empty token, and only through an HTTP proxy: directly
// or through a SOCKS tunnel the request goes to the origin server, which must
// never see the proxy password.
std::string BuildHttpRequest(std::string_view target, std::string_view authority,
                             std::string_view agent, ProxyMode proxyMode, AuthMode authMode,
                             std::string_view proxyAuthToken);

// Offset of the first "\r\n\r\n" in the held bytes, or kHeaderEndNotFound.
std::size_t FindHeaderEnd(const char* data, std::size_t length);

struct HttpHeaderFacts {
    DWORD status = 0;       // number after the first space; 0 without one
    int contentLength = 0;  // signed number of the first content-length line; 0 when absent
};
// headerText runs from the status line through the end of the last header
// line; names are matched without regard to case.
HttpHeaderFacts ParseHttpHeader(std::string_view headerText);

// 1 when some proxy-authenticate line (one that has its "\r\n") offers
// Basic, whatever else it offers; 2 otherwise.
AuthMode ChooseProxyAuthMode(std::string_view responseHeaders);
