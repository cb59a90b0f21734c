// Text logic of the HTTP/1.0 transport: URL split, request text, header
// look-ups and the 407 challenge scan. Used by http10.cpp; no socket here.
#include "transport/winsock/http10_parse.h"

#include <climits>

namespace {

template <typename Char>
DWORD ParseDigits(std::basic_string_view<Char> text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    DWORD value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<DWORD>(text[i] - '0');
    }
    return value;
}

// Like ParseDigits, with an optional sign; clamped to the range of int.
int ParseSignedDecimal(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX) value = static_cast<long long>(INT_MAX) + 1;  // saturate, keep going
    }
    if (negative) return value > INT_MAX ? INT_MIN : static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerCopy(std::string_view text) {
    std::string copy(text);
    for (char& c : copy) c = Lower(c);
    return copy;
}

bool StartsWith(std::wstring_view text, std::wstring_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

DWORD ParseUnsignedDecimal(std::string_view text) { return ParseDigits(text); }
DWORD ParseUnsignedDecimal(std::wstring_view text) { return ParseDigits(text); }

WinsockUrlParts SplitWinsockUrl(const wchar_t* url, ProxyMode proxyMode,
                                const std::wstring& proxyHost, int proxyPort) {
    WinsockUrlParts parts;
    std::wstring_view whole = url ? std::wstring_view(url) : std::wstring_view();
    std::wstring_view rest;
    bool secure = false;
    // Case-sensitive on purpose: "HTTP://" is not a URL this transport takes.
    if (StartsWith(whole, L"http://")) {
        rest = whole.substr(7);
    } else if (StartsWith(whole, L"https://")) {
        rest = whole.substr(8);
        secure = true;
    } else {
        return parts;
    }
    std::size_t slash = rest.find(L'/');
    std::wstring_view authority = rest.substr(0, slash);
    std::wstring_view path = slash == std::wstring_view::npos ? std::wstring_view(L"/")
                                                              : rest.substr(slash);
    switch (proxyMode) {
        case kProxyDirect:
        case kProxyInvalid: {
            std::size_t colon = authority.find(L':');
            parts.connectionHost.assign(authority.substr(0, colon));
            DWORD port = colon == std::wstring_view::npos
                             ? 0
                             : ParseUnsignedDecimal(authority.substr(colon + 1));
            parts.connectionPort = port != 0 ? static_cast<int>(port) : (secure ? 443 : 80);
            parts.target.assign(path);
            break;
        }
        case kProxyHttp:
            parts.target.assign(whole);
            parts.connectionHost = proxyHost;
            parts.connectionPort = proxyPort;
            break;
        case kProxySocks:
            parts.target.assign(path);
            parts.connectionHost = proxyHost;
            parts.connectionPort = proxyPort;
            break;
        default:
            // Mode 1 belongs to WinInet; with no connection host the attempt
            // ends as an unresolvable host.
            return parts;
    }
    parts.authority.assign(authority);
    return parts;
}

std::string BuildHttpRequest(std::string_view target, std::string_view authority,
                             std::string_view agent, ProxyMode proxyMode, AuthMode authMode,
                             std::string_view proxyAuthToken) {
    std::string request;
    request.reserve(100);
    request.append("GET ").append(target).append(" HTTP/1.0\r\n");
    request.append("Host: ").append(authority).append("\r\n");
    request.append("Pragma: no-cache\r\n");
    request.append("User-Agent: ").append(agent).append("\r\n");
    if (proxyMode == kProxyHttp && authMode == kAuthBasic && !proxyAuthToken.empty()) {
        request.append("Proxy-Authorization: Basic ").append(proxyAuthToken).append("\r\n");
    }
    request.append("\r\n");
    return request;
}

std::size_t FindHeaderEnd(const char* data, std::size_t length) {
    // By length, not by terminator: a zero byte from the peer must not hide
    // the end of the header.
    std::string_view held(data, length);
    std::size_t h = held.find("\r\n\r\n");
    return h == std::string_view::npos ? kHeaderEndNotFound : h;
}

HttpHeaderFacts ParseHttpHeader(std::string_view headerText) {
    HttpHeaderFacts facts;
    std::size_t space = headerText.find(' ');
    if (space != std::string_view::npos) facts.status = ParseUnsignedDecimal(headerText.substr(space + 1));
    // Only a line of that name counts, not a name that ends in it
    // ("X-Original-Content-Length:"): the length decides whether a 2xx body
    // arrived whole.
    static constexpr std::string_view kContentLength = "\r\ncontent-length:";
    std::string lowered = LowerCopy(headerText);
    std::size_t at = lowered.find(kContentLength);
    if (at != std::string::npos) {
        facts.contentLength = ParseSignedDecimal(headerText.substr(at + kContentLength.size()));
    }
    return facts;
}

AuthMode ChooseProxyAuthMode(std::string_view responseHeaders) {
    static constexpr std::string_view kChallenge = "proxy-authenticate";
    std::string lowered = LowerCopy(responseHeaders);
    std::size_t position = 0;
    for (;;) {
        std::size_t at = lowered.find(kChallenge, position);
        if (at == std::string::npos) break;
        std::size_t lineEnd = responseHeaders.find("\r\n", at);
        if (lineEnd == std::string_view::npos) break;
        if (std::string_view(lowered).substr(at, lineEnd - at).find("basic") != std::string_view::npos) {
            return kAuthBasic;
        }
        position = lineEnd + 2;
    }
    return kAuthOther;
}
