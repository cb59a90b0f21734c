// The deciding rules of the WinInet transport, as tables: the URL split, the
// request flags, the NTLM account split, the proxy text of the root handle and
// the mapping of codes and statuses to attempt results.
#include "download/error_codes.h"
#include "transport/wininet/binding.h"
#include "transport/wininet/http_wininet.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

}  // namespace

TEST(SplitWininetUrl, TableOfUrls) {
    struct Case {
        const wchar_t* url;
        bool split;
        const wchar_t* host;
        int port;
        const wchar_t* path;
        bool secure;
    } cases[] = {
        {L"http://H/a.cab", true, L"H", 80, L"/a.cab", false},
        {L"https://H:8080/a/b.cab", true, L"H", 8080, L"/a/b.cab", true},
        {L"http://H:8080", true, L"H", 8080, L"/", false},
        {L"https://H", true, L"H", 443, L"/", true},
        {L"http://H:/x", true, L"H", 80, L"/x", false},          // nothing after the colon
        {L"https://H:abc/x", true, L"H", 443, L"/x", true},      // no digits
        {L"http://H:0/x", true, L"H", 80, L"/x", false},         // a literal 0
        {L"http://H:81x/y", true, L"H", 81, L"/y", false},       // digits up to the first other
        {L"http://H:1:2/y", true, L"H", 1, L"/y", false},        // the first colon counts
        {L"http://H:65535/", true, L"H", 65535, L"/", false},
        {L"http://H:65536/", true, L"H", 65536, L"/", false},    // past the range: refused later
        {L"http://H:99999999999999999999/", true, L"H", 65536, L"/", false},  // no wrap-around
        {L"http://H/a:1/b", true, L"H", 80, L"/a:1/b", false},   // a colon in the path is no port
        {L"http://H?q=/x", true, L"H?q=", 80, L"/x", false},
        {L"http:///x", true, L"", 80, L"/x", false},
        {L"HTTP://H/a.cab", false, L"", 0, L"", false},          // the scheme is case-sensitive
        {L"Https://H/a.cab", false, L"", 0, L"", false},
        {L"/relative/a.cab", false, L"", 0, L"", false},
        {L"ftp://H/a", false, L"", 0, L"", false},
        {L"http:/H/a", false, L"", 0, L"", false},
        {L"", false, L"", 0, L"", false},
    };
    for (const Case& c : cases) {
        std::wstring host = L"unset", path = L"unset";
        int port = -7;
        bool split = SplitWininetUrl(c.url, host, port, path);
        EXPECT_EQ(c.split, split) << Narrow(c.url);
        EXPECT_EQ(c.secure, IsSecureWininetUrl(c.url)) << Narrow(c.url);
        if (c.split) {
            EXPECT_EQ(Narrow(c.host), Narrow(host)) << Narrow(c.url);
            EXPECT_EQ(c.port, port) << Narrow(c.url);
            EXPECT_EQ(Narrow(c.path), Narrow(path)) << Narrow(c.url);
        } else {
            // Nothing of the caller's is written for a foreign scheme.
            EXPECT_EQ("unset", Narrow(host)) << Narrow(c.url);
            EXPECT_EQ("unset", Narrow(path)) << Narrow(c.url);
            EXPECT_EQ(-7, port) << Narrow(c.url);
        }
    }
    std::wstring host, path;
    int port = 0;
    EXPECT_FALSE(SplitWininetUrl(nullptr, host, port, path));
}

TEST(WininetRequestFlags, PlainAndSecure) {
    EXPECT_EQ(0x84680100u, WininetRequestFlags(false));
    EXPECT_EQ(0x84E80100u, WininetRequestFlags(true));
}

TEST(SplitNtlmUser, TableOfAccounts) {
    struct Case {
        const wchar_t* proxyUser;
        bool split;
        const wchar_t* domain;
        const wchar_t* user;
    } cases[] = {
        {L"CORP\\alice", true, L"CORP", L"alice"},
        {L"CORP\\alice\\second", true, L"CORP", L"alice\\second"},  // the user keeps the rest
        {L"\\alice", true, L"", L"alice"},
        {L"CORP\\", true, L"CORP", L""},
        {L"alice", false, L"", L""},
        {L"alice@corp.example", false, L"", L""},
        {L"", false, L"", L""},
    };
    for (const Case& c : cases) {
        std::wstring domain = L"unset", user = L"unset";
        bool split = SplitNtlmUser(c.proxyUser, domain, user);
        EXPECT_EQ(c.split, split) << Narrow(c.proxyUser);
        EXPECT_EQ(Narrow(c.split ? c.domain : L"unset"), Narrow(domain)) << Narrow(c.proxyUser);
        EXPECT_EQ(Narrow(c.split ? c.user : L"unset"), Narrow(user)) << Narrow(c.proxyUser);
    }
}

TEST(WininetProxyText, HostColonPort) {
    struct Case {
        const wchar_t* host;
        int port;
        const wchar_t* text;
    } cases[] = {
        {L"proxy.test", 8080, L"proxy.test:8080"},
        {L"", 8080, L":8080"},
        {L"127.0.0.1", 3128, L"127.0.0.1:3128"},
        {L"h", 0, L"h:0"},
        {L"h", -1, L"h:-1"},
        {L"h", 2147483647, L"h:2147483647"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Narrow(c.text), Narrow(WininetProxyText(c.host, c.port))) << Narrow(c.text);
    }
}

TEST(WininetResults, CodesAndStatuses) {
    struct ErrorCase {
        DWORD code;
        TransportResult result;
    } errors[] = {
        {12002, kTransportTransient},  {12030, kTransportTransient}, {12031, kTransportTransient},
        {12029, kTransportNoConnection}, {12007, kTransportNoConnection},
        {12006, kTransportNoConnection}, {5, kTransportNoConnection}, {0, kTransportNoConnection},
    };
    for (const ErrorCase& c : errors) EXPECT_EQ(c.result, WininetErrorResult(c.code)) << c.code;

    struct StatusCase {
        DWORD status;
        TransportResult result;
    } statuses[] = {
        {200, kTransportOk},          {204, kTransportOk},          {299, kTransportOk},
        {304, kTransportOk},          {199, kTransportHttpStatus},  {300, kTransportHttpStatus},
        {302, kTransportHttpStatus},  {305, kTransportHttpStatus},  {404, kTransportHttpStatus},
        {407, kTransportHttpStatus},  {500, kTransportHttpStatus},  {0, kTransportHttpStatus},
    };
    for (const StatusCase& c : statuses) EXPECT_EQ(c.result, WininetStatusResult(c.status)) << c.status;

    EXPECT_EQ(1234u, NoRootHandleCode(1234));
    EXPECT_EQ(kErrNoRootHandle, NoRootHandleCode(0));
}
