// The driver's pure decisions: where a 302 points, and the byte-to-character
// widening of addresses.
#include "download/driver.h"

#include <gtest/gtest.h>

TEST(RedirectTarget, TableOfLocationLines) {
    const std::wstring current = L"http://update.example:8080/files/a.cab";
    struct Case {
        const char* headers;
        bool found;
        const char* target;
    } cases[] = {
        {"HTTP/1.1 302 Found\r\nLOCATION: http://h/B.cab\r\n", true, "http://h/B.cab"},
        {"HTTP/1.1 302 Found\r\nLocation:http://h/nospace\r\n", true, "http://h/nospace"},
        {"HTTP/1.1 302 Found\r\nlocation: \t http://h/x  \t\r\n", true, "http://h/x"},
        {"HTTP/1.1 302 Found\r\nLocation: /rel/R.cab\r\n", true, "http://update.example:8080/rel/R.cab"},
        {"HTTP/1.1 302 Found\r\nContent-Length: 0\r\n", false, ""},
        {"HTTP/1.1 302 Found\r\nLocation: http://h/unended", false, ""},
        {"HTTP/1.1 302 Found\r\nLocation:  \r\n", false, ""},
    };
    for (const Case& c : cases) {
        std::string target;
        bool found = RedirectTarget(c.headers, current, target);
        EXPECT_EQ(c.found, found) << c.headers;
        if (c.found) {
            EXPECT_EQ(c.target, target) << c.headers;
        }
    }
}

TEST(RedirectTarget, RelativeAgainstAnAddressWithoutPath) {
    std::string target;
    ASSERT_TRUE(RedirectTarget("HTTP/1.0 302 X\r\nLocation: /p\r\n", L"https://h", target));
    EXPECT_EQ("https://h/p", target);
}

TEST(NarrowToWide, EveryByteKeepsItsValue) {
    const char text[] = "a\xE9\xFF/";
    WideBuffer wide = NarrowToWide(text);
    ASSERT_TRUE(wide);
    EXPECT_EQ(std::wstring(L"a\u00E9\u00FF/"), std::wstring(wide.get()));
}
