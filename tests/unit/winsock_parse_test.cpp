// The deciding logic of the Winsock transport, without sockets: URL split,
// request text, header look-ups, the 407 challenge scan and the SOCKS 4
// bytes. Each test is a table; every failing row is reported.
#include "transport/winsock/http10_parse.h"
#include "transport/winsock/socks4.h"
#include "transport/winsock/tcp.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += static_cast<char>(c < 128 ? c : '?');
    return out;
}

std::string Hex(const std::vector<unsigned char>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

}  // namespace

TEST(SplitWinsockUrl, TableOfUrlsAndModes) {
    struct Case {
        const wchar_t* url;
        ProxyMode mode;
        const wchar_t* target;
        const wchar_t* authority;
        const wchar_t* host;
        int port;
    } cases[] = {
        {L"http://update.quarn.com/files/emupdate/20150209.cab", kProxyDirect,
         L"/files/emupdate/20150209.cab", L"update.quarn.com", L"update.quarn.com", 80},
        {L"http://origin.test:8080/a?b=c#frag", kProxyDirect, L"/a?b=c#frag", L"origin.test:8080",
         L"origin.test", 8080},
        {L"http://origin.test", kProxyDirect, L"/", L"origin.test", L"origin.test", 80},
        {L"http://origin.test?x", kProxyDirect, L"/", L"origin.test?x", L"origin.test?x", 80},
        {L"https://origin.test/s", kProxyDirect, L"/s", L"origin.test", L"origin.test", 443},
        {L"https://origin.test:0/s", kProxyDirect, L"/s", L"origin.test:0", L"origin.test", 443},
        {L"http://origin.test:/s", kProxyDirect, L"/s", L"origin.test:", L"origin.test", 80},
        {L"http://origin.test:  81x/s", kProxyDirect, L"/s", L"origin.test:  81x", L"origin.test", 81},
        {L"http://origin.test:abc/s", kProxyDirect, L"/s", L"origin.test:abc", L"origin.test", 80},
        // -1 goes direct; the proxy host is not used.
        {L"http://origin.test:81/s", kProxyInvalid, L"/s", L"origin.test:81", L"origin.test", 81},
        // Through an HTTP proxy the whole URL is the target.
        {L"http://origin.test:8080/a?b", kProxyHttp, L"http://origin.test:8080/a?b",
         L"origin.test:8080", L"proxy.test", 3128},
        {L"https://origin.test/a", kProxyHttp, L"https://origin.test/a", L"origin.test",
         L"proxy.test", 3128},
        {L"http://origin.test:8080/a", kProxySocks, L"/a", L"origin.test:8080", L"proxy.test", 3128},
        // Not for this transport: every part stays empty.
        {L"HTTP://origin.test/a", kProxyDirect, L"", L"", L"", 0},
        {L"Http://origin.test/a", kProxyDirect, L"", L"", L"", 0},
        {L"/files/relative.cab", kProxyDirect, L"", L"", L"", 0},
        {L"ftp://origin.test/a", kProxyHttp, L"", L"", L"", 0},
        {L"", kProxyDirect, L"", L"", L"", 0},
        {nullptr, kProxyDirect, L"", L"", L"", 0},
        {L"http://origin.test/a", kProxyIE, L"", L"", L"", 0},
        {L"http://origin.test/a", 7, L"", L"", L"", 0},
    };
    for (const Case& c : cases) {
        WinsockUrlParts parts = SplitWinsockUrl(c.url, c.mode, L"proxy.test", 3128);
        std::string row = (c.url ? Narrow(c.url) : "(null)") + " mode " + std::to_string(c.mode);
        EXPECT_EQ(Narrow(c.target), Narrow(parts.target)) << row;
        EXPECT_EQ(Narrow(c.authority), Narrow(parts.authority)) << row;
        EXPECT_EQ(Narrow(c.host), Narrow(parts.connectionHost)) << row;
        EXPECT_EQ(c.port, parts.connectionPort) << row;
    }
}

TEST(BuildHttpRequest, FiveLinesAndTheBasicLineOnlyWhenItApplies) {
    const std::string head =
        "GET /files/emupdate/20150209.cab HTTP/1.0\r\n"
        "Host: update.quarn.com:8080\r\n"
        "Pragma: no-cache\r\n"
        "User-Agent: Pullar/5.00 (unknown)\r\n";
    struct Case {
        ProxyMode proxyMode;
        AuthMode authMode;
        const char* token;
        bool authLine;
    } cases[] = {
        {kProxyHttp, kAuthNone, "dXNlcjpwYXNz", false},
        {kProxyHttp, kAuthBasic, "dXNlcjpwYXNz", true},
        {kProxyHttp, kAuthBasic, "", false},
        {kProxyHttp, kAuthOther, "dXNlcjpwYXNz", false},
        // The origin server never gets the proxy's credentials.
        {kProxyDirect, kAuthBasic, "dXNlcjpwYXNz", false},
        {kProxyInvalid, kAuthBasic, "dXNlcjpwYXNz", false},
        {kProxySocks, kAuthBasic, "dXNlcjpwYXNz", false},
    };
    for (const Case& c : cases) {
        std::string expected = head;
        if (c.authLine) expected += std::string("Proxy-Authorization: Basic ") + c.token + "\r\n";
        expected += "\r\n";
        EXPECT_EQ(expected, BuildHttpRequest("/files/emupdate/20150209.cab", "update.quarn.com:8080",
                                             "Pullar/5.00 (unknown)", c.proxyMode, c.authMode,
                                             c.token))
            << "proxyMode " << c.proxyMode << " authMode " << c.authMode << " token '" << c.token
            << "'";
    }
}

TEST(FindHeaderEnd, BlankLineFoundByLength) {
    struct Case {
        std::string held;
        std::size_t expected;
    } cases[] = {
        {"HTTP/1.0 200 OK\r\n\r\nbody", 15},
        {"HTTP/1.0 200 OK\r\nA: b\r\n\r\n", 21},
        {"HTTP/1.0 200 OK\r\n\r", kHeaderEndNotFound},
        {"HTTP/1.0 200 OK\n\n", kHeaderEndNotFound},
        {"", kHeaderEndNotFound},
        // A zero byte from the peer does not hide what follows it.
        {std::string("HTTP/1.0 200 OK\r\nX: a\0b\r\n\r\n", 27), 23},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, FindHeaderEnd(c.held.data(), c.held.size())) << c.held;
    }
}

TEST(ParseHttpHeader, StatusAndContentLength) {
    struct Case {
        const char* header;
        DWORD status;
        int contentLength;
    } cases[] = {
        {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n", 200, 5},
        {"HTTP/1.1 200 OK\r\n", 200, 0},
        {"HTTP/1.0 404 Not Found\r\nCONTENT-length:12\r\n", 404, 12},
        {"HTTP/1.0   302 Found\r\nLocation: /x\r\n", 302, 0},
        {"HTTP/1.0 304\r\n", 304, 0},
        {"HTTP/1.0 2x00 OK\r\n", 2, 0},
        {"HTTP/1.0 -200 OK\r\n", 0, 0},
        {"NOSPACE\r\n", 0, 0},
        {"HTTP/1.0 200 OK\r\ncontent-length:   -3\r\n", 200, -3},
        {"HTTP/1.0 200 OK\r\nContent-Length: abc\r\n", 200, 0},
        {"HTTP/1.0 200 OK\r\nContent-Length: 99999999999\r\n", 200, INT_MAX},
        {"HTTP/1.0 200 OK\r\nContent-Length: -99999999999\r\n", 200, INT_MIN},
        // Only the line of that name, not a longer name ending in it.
        {"HTTP/1.0 200 OK\r\nX-Original-Content-Length: 7\r\nContent-Length: 9\r\n", 200, 9},
        {"HTTP/1.0 200 OK\r\nX-Original-Content-Length: 7\r\n", 200, 0},
        // An empty value does not reach into the next line.
        {"HTTP/1.0 200 OK\r\nContent-Length:\r\n", 200, 0},
    };
    for (const Case& c : cases) {
        HttpHeaderFacts facts = ParseHttpHeader(c.header);
        EXPECT_EQ(c.status, facts.status) << c.header;
        EXPECT_EQ(c.contentLength, facts.contentLength) << c.header;
    }
}

TEST(ChooseProxyAuthMode, BasicOfferedOnSomeCompleteLine) {
    struct Case {
        const char* headers;
        AuthMode expected;
    } cases[] = {
        {"HTTP/1.0 407 Proxy\r\nProxy-Authenticate: NTLM\r\nProxy-Authenticate: Basic realm=x\r\n",
         kAuthBasic},
        {"HTTP/1.0 407 Proxy\r\nPROXY-AUTHENTICATE: BASIC realm=\"Squid\"\r\n", kAuthBasic},
        {"HTTP/1.0 407 Proxy\r\nProxy-Authenticate: Negotiate\r\n", kAuthOther},
        {"HTTP/1.0 407 Proxy\r\nProxy-Authenticate: NTLM\r\n", kAuthOther},
        {"HTTP/1.0 407 Proxy\r\n", kAuthOther},
        // The line has no end: nothing is taken from it.
        {"HTTP/1.0 407 Proxy\r\nProxy-Authenticate: Basic realm=x", kAuthOther},
        // "basic" on another header line does not count.
        {"HTTP/1.0 407 Proxy\r\nProxy-Authenticate: NTLM\r\nX-Note: basic\r\n", kAuthOther},
        {"", kAuthOther},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, ChooseProxyAuthMode(c.headers)) << c.headers;
    }
}

TEST(SplitSocksDestination, HostAndPortOfTheAuthority) {
    struct Case {
        const wchar_t* authority;
        const wchar_t* host;
        u_short port;
    } cases[] = {
        {L"origin.test", L"origin.test", 80},
        {L"origin.test:8080", L"origin.test", 8080},
        {L"origin.test:0", L"origin.test", 80},
        {L"origin.test:", L"origin.test", 80},
        {L"origin.test: 443", L"origin.test", 443},
        {L"origin.test:65616", L"origin.test", 80},  // low 16 bits of 65616
        {L"origin.test:65617", L"origin.test", 81},
        {L"", L"", 80},
        {nullptr, L"", 80},
    };
    for (const Case& c : cases) {
        SocksDestination d = SplitSocksDestination(c.authority);
        std::string row = c.authority ? Narrow(c.authority) : "(null)";
        EXPECT_EQ(Narrow(c.host), Narrow(d.host)) << row;
        EXPECT_EQ(c.port, d.port) << row;
    }
}

TEST(FillSocks4ConnectRequest, WireBytes) {
    struct Case {
        const char* address;
        u_short port;
        const char* userId;
        const char* expected;
    } cases[] = {
        {"10.0.0.1", 80, "", "04 01 00 50 0A 00 00 01 00"},
        {"10.0.0.1", 8080, "", "04 01 1F 90 0A 00 00 01 00"},
        {"127.0.0.1", 443, "bob", "04 01 01 BB 7F 00 00 01 62 6F 62 00"},
    };
    for (const Case& c : cases) {
        std::size_t length = std::strlen(c.userId);
        std::vector<unsigned char> request(kSocks4FixedSize + length, 0xEE);
        FillSocks4ConnectRequest(request.data(), c.port, inet_addr(c.address), c.userId, length);
        EXPECT_EQ(c.expected, Hex(request)) << c.address << ":" << c.port << " " << c.userId;
    }
}

TEST(Socks4Granted, OnlyTheCommandByteDecides) {
    struct Case {
        unsigned char reply[kSocks4ReplySize];
        bool granted;
    } cases[] = {
        {{0x00, 0x5A, 0, 0, 0, 0, 0, 0}, true},
        {{0x04, 0x5A, 0x1F, 0x90, 1, 2, 3, 4}, true},
        {{0x00, 0x5B, 0, 0, 0, 0, 0, 0}, false},
        {{0x00, 0x5C, 0, 0, 0, 0, 0, 0}, false},
        {{0x5A, 0x00, 0, 0, 0, 0, 0, 0}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.granted, Socks4Granted(c.reply)) << int(c.reply[0]) << " " << int(c.reply[1]);
    }
}
