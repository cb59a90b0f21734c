// The product's proxy settings: the Base64 decoder and the password form as
// tables, and LoadProxySettings against real setup.ini files in a temporary
// installation folder, with the settings lines it prints captured from the
// runtime's standard output.
#include "download/context.h"
#include "update/proxy_settings.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

TEST(Base64Decode, Table) {
    struct Case {
        const char* text;
        DWORD capacity;
        int result;
        DWORD length;       // on return
        const char* bytes;  // expected in out; nullptr: out untouched
    } cases[] = {
        {"YWJj", 16, 0, 3, "abc"},
        {"YW Jj", 16, 0, 3, "abc"},
        {"YW\r\nJj\t", 16, 0, 3, "abc"},
        {"YW\xE9Jj", 16, 0, 3, "abc"},    // bytes above 0x7F are skipped too
        {"YWI=", 16, 0, 2, "ab"},
        {"YQ==", 16, 0, 1, "a"},
        {"YWJjZA==", 16, 0, 4, "abcd"},
        {"=YWJj", 16, 0, 0, nullptr},
        {"", 16, 0, 0, nullptr},
        {"YWJj=ZGVm", 16, 0, 3, "abc"},   // "=" ends the data
        {"YQ", 16, 87, 0, nullptr},
        {"YWJjZA", 16, 87, 3, "abc"},     // completed groups are still delivered
        {"YWJjZGU", 16, 87, 3, "abc"},
        {"Y===", 16, 87, 0, nullptr},     // one sextet cannot make a byte
        {"AZaz09+/", 16, 0, 6, "\x01\x96\xb3\xd3\xdf\xbf"},
        {"YWJj", 3, 0, 3, "abc"},         // exact fit
        {"YWJjZGVm", 5, 122, 6, nullptr}, // too small: nothing copied, count told
        {"YWJj", 0, 122, 3, nullptr},
    };
    for (const auto& c : cases) {
        unsigned char out[16];
        std::memset(out, 0xCC, sizeof out);
        DWORD length = c.capacity;
        int result = Base64Decode(c.text, out, length);
        EXPECT_EQ(c.result, result) << '"' << c.text << '"';
        EXPECT_EQ(c.length, length) << '"' << c.text << '"';
        size_t n = c.bytes ? c.length : 0;
        if (c.bytes) {
            EXPECT_EQ(0, std::memcmp(out, c.bytes, n)) << '"' << c.text << '"';
        }
        for (size_t i = n; i < sizeof out; ++i) {
            if (out[i] != 0xCC) {
                ADD_FAILURE() << '"' << c.text << "\" wrote past its data at " << i;
                break;
            }
        }
    }
}

TEST(DecodeNetPassword, Table) {
    struct Case {
        const wchar_t* text;
        int capacity;
        const wchar_t* clear;
        int result;
    } cases[] = {
        {L"", 32766, L"", 0},
        {L"plain", 32766, L"plain", 0},
        {L"b", 32766, L"b", 0},               // no "?": a one-character password
        {L"?bc2VjcmV0", 32766, L"?bc2VjcmV0", 0},
        {L"b!c2VjcmV0", 32766, L"b!c2VjcmV0", 0},
        {L"b?", 32766, L"", 0},
        {L"b?c2VjcmV0", 32766, L"secret", 0},
        {L"B?c2VjcmV0", 32766, L"secret", 0},
        {L"b?Y2Fm6SE=", 32766, L"caf\u00e9!", 0},
        {L"b?c2VjcmV0MQ", 32766, L"secret", 87},   // padding lost: last group dropped
        {L"b?c2VjcmV0MTI", 32766, L"secret", 87},
        {L"b?YQBi", 32766, L"a", 0},               // the password ends at a zero byte
        {L"b?c2Vj\u0100cmV0", 32766, L"sec", 0},   // narrowing stops at U+0100
        {L"b?YWJjZGVm", 4, L"", 122},
    };
    for (const auto& c : cases) {
        std::vector<wchar_t> clear(32768, L'\0');
        int result = DecodeNetPassword(c.text, clear.data(), c.capacity);
        EXPECT_EQ(c.result, result) << Narrow(c.text);
        EXPECT_EQ(std::wstring(c.clear), std::wstring(clear.data())) << Narrow(c.text);
    }
}

// Everything written to the runtime's standard output between Start and Stop.
class StdoutCapture {
public:
    void Start() {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        path_ = std::wstring(temp) + L"quarn-stdout-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
        std::fflush(stdout);
        int fd = _wopen(path_.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
        ASSERT_NE(-1, fd);
        saved_ = _dup(_fileno(stdout));
        _dup2(fd, _fileno(stdout));
        _close(fd);
    }
    std::string Stop() {
        std::fflush(stdout);
        _dup2(saved_, _fileno(stdout));
        _close(saved_);
        std::string text;
        if (FILE* f = _wfopen(path_.c_str(), L"rb")) {
            char chunk[4096];
            size_t n;
            while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
            std::fclose(f);
        }
        DeleteFileW(path_.c_str());
        std::string lines;
        for (char ch : text) {
            if (ch != '\r') lines += ch;
        }
        return lines;
    }

private:
    std::wstring path_;
    int saved_ = -1;
};

struct ContextState {
    ProxyMode mode;
    const wchar_t* host;
    int port;
    const wchar_t* user;
    const wchar_t* password;
    bool ntlm;
};

class LoadProxySettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
        root_ = std::wstring(temp) + L"quarn-install-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(root_.c_str(), nullptr);
    }
    void TearDown() override {
        for (const std::wstring& f : created_) DeleteFileW(f.c_str());
        for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) RemoveDirectoryW(it->c_str());
        RemoveDirectoryW(root_.c_str());
        installFolder.clear();
    }

    // A fresh installation folder per case: the profile functions may cache a
    // file by name, and two writes can share one modification time.
    void Install(const char* ini) {
        std::wstring folder = root_ + L"\\case" + std::to_wstring(++serial_);
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        folders_.push_back(folder);
        installFolder = folder;
        if (!ini) return;
        std::wstring setup = folder + L"\\Setup";
        ASSERT_TRUE(CreateDirectoryW(setup.c_str(), nullptr));
        folders_.push_back(setup);
        std::wstring file = setup + L"\\setup.ini";
        FILE* f = _wfopen(file.c_str(), L"wb");
        ASSERT_NE(nullptr, f);
        std::fwrite(ini, 1, std::strlen(ini), f);
        std::fclose(f);
        created_.push_back(file);
    }

    static void Prepare(const ContextState& s) {
        downloadContext.proxyMode = s.mode;
        downloadContext.authMode = kAuthBasic;
        downloadContext.proxyHost = s.host;
        downloadContext.proxyPort = s.port;
        downloadContext.proxyUser = s.user;
        downloadContext.proxyPassword = s.password;
        downloadContext.proxyAuthToken.clear();
        downloadContext.useNtlm = s.ntlm;
    }

    // Runs LoadProxySettings and returns what it printed.
    static std::string Load() {
        StdoutCapture capture;
        capture.Start();
        int result = LoadProxySettings();
        std::string printed = capture.Stop();
        EXPECT_EQ(0, result);
        return printed;
    }

    std::wstring root_;
    std::vector<std::wstring> folders_;
    std::vector<std::wstring> created_;
    int serial_ = 0;
};

bool WininetOnSearchPath() {
    wchar_t found[MAX_PATH];
    wchar_t* filePart = nullptr;
    return SearchPathW(nullptr, L"wininet.dll", nullptr, MAX_PATH, found, &filePart) != 0;
}

const ContextState kConfigured = {kProxyHttp, L"keep.test", 81, L"olduser", L"oldpw", true};
const ContextState kBare = {kProxyHttp, L"", 0, L"", L"", false};

TEST_F(LoadProxySettingsTest, SettingsFileTable) {
    ASSERT_TRUE(WininetOnSearchPath()) << "these cases expect the Internet settings as the fallback";
    struct Case {
        const char* name;
        const char* ini;  // nullptr: no settings file at all
        ContextState before;
        ContextState after;
        AuthMode auth;
        const char* token;   // Base64 of "user:password" built from what arrived
        const char* lines;   // exactly what is printed
        std::vector<const char*> secrets;  // must never be printed
    } cases[] = {
        {"no settings file", nullptr, kConfigured,
         {kProxyIE, L"keep.test", 81, L"olduser", L"oldpw", false}, kAuthOther, "b2xkdXNlcjpvbGRwdw==",
         "PULLAR: Proxy keep.test:81\n"
         "PULLAR: Type: use IE settings\n"
         "PULLAR: Auth: another authentication, use WinInet\n"
         "PULLAR: Proxy l/p: olduser/***\n",
         {"oldpw"}},
        {"no NetAcc in Common", "[Other]\r\nNetAcc=2\r\n[Common]\r\nNetIP=other.test\r\nNetPort=8000\r\n",
         kConfigured, {kProxyIE, L"keep.test", 81, L"olduser", L"oldpw", false}, kAuthOther,
         "b2xkdXNlcjpvbGRwdw==",
         "PULLAR: Proxy keep.test:81\n"
         "PULLAR: Type: use IE settings\n"
         "PULLAR: Auth: another authentication, use WinInet\n"
         "PULLAR: Proxy l/p: olduser/***\n",
         {"oldpw"}},
        {"HTTP proxy, plain password",
         "[Common]\r\nNetAcc=2\r\nNetIP=proxy.test\r\nNetPort=3128\r\nNetUser=alice\r\nNetPwd=s3cret!\r\n", kBare,
         {kProxyHttp, L"proxy.test", 3128, L"alice", L"s3cret!", false}, kAuthNone, "YWxpY2U6czNjcmV0IQ==",
         "PULLAR: Proxy proxy.test:3128\n"
         "PULLAR: Type: standard HTTP proxy (rfc2616,2617)\n"
         "PULLAR: Auth: no authentication\n",
         {"s3cret"}},
        {"HTTP proxy keeps what the file does not give", "[Common]\r\nNetAcc=2\r\n", kConfigured,
         {kProxyHttp, L"keep.test", 81, L"olduser", L"oldpw", false}, kAuthNone, "b2xkdXNlcjpvbGRwdw==",
         "PULLAR: Proxy keep.test:81\n"
         "PULLAR: Type: standard HTTP proxy (rfc2616,2617)\n"
         "PULLAR: Auth: no authentication\n"
         "PULLAR: Proxy l/p: olduser/***\n",
         {"oldpw"}},
        {"SOCKS without a port", "[Common]\r\nNetAcc=3\r\nNetIP=socks.test\r\n", kBare,
         {kProxySocks, L"socks.test", 1080, L"", L"", false}, kAuthNone, "Og==",
         "PULLAR: Proxy socks.test:1080\n"
         "PULLAR: Type: SOCKS proxy (rfc1928,1929)\n"
         "PULLAR: Auth: no authentication\n",
         {}},
        {"UseNTLM=5 and an encoded password",
         "[Common]\r\nNetAcc=2\r\nNetIP=proxy.test\r\nNetPort=8080\r\nUseNTLM=5\r\nNetUser=bob\r\n"
         "NetPwd=B?Y2Fm6SE=\r\n",
         kBare, {kProxyHttp, L"proxy.test", 8080, L"bob", L"caf\u00e9!", true}, kAuthNone, "Ym9iOmNhZukh",
         "PULLAR: Proxy proxy.test:8080\n"
         "PULLAR: Type: standard HTTP proxy (rfc2616,2617)\n"
         "PULLAR: Auth: NTLM\n",
         {"Y2Fm6SE", "caf"}},
        {"\"b?\" alone empties the password", "[Common]\r\nNetAcc=0\r\nNetPwd=b?\r\n", kConfigured,
         {kProxyDirect, L"keep.test", 81, L"olduser", L"", false}, kAuthNone, "b2xkdXNlcjo=",
         "PULLAR: Proxy keep.test:81\n"
         "PULLAR: Type: no proxy\n"
         "PULLAR: Auth: no authentication\n"
         "PULLAR: Proxy l/p: olduser/***\n",
         {"oldpw"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Install(c.ini);
        Prepare(c.before);
        std::string printed = Load();
        EXPECT_EQ(c.after.mode, downloadContext.proxyMode);
        EXPECT_EQ(c.auth, downloadContext.authMode);
        EXPECT_EQ(std::wstring(c.after.host), downloadContext.proxyHost);
        EXPECT_EQ(c.after.port, downloadContext.proxyPort);
        EXPECT_EQ(c.after.ntlm, downloadContext.useNtlm);
        EXPECT_EQ(std::wstring(c.after.user), downloadContext.proxyUser);
        EXPECT_EQ(std::wstring(c.after.password), downloadContext.proxyPassword);
        EXPECT_EQ(std::string(c.token), downloadContext.proxyAuthToken);
        EXPECT_EQ(std::string(c.lines), printed);
        for (const char* secret : c.secrets) {
            EXPECT_EQ(std::string::npos, printed.find(secret)) << "printed a password: " << secret;
        }
    }
}

// Wine always has wininet.dll on the search path, so this one is disabled
// here: the scenario tier runs it in a copy of the prefix without the file.
TEST_F(LoadProxySettingsTest, DISABLED_WithoutWininetTheModeStaysInvalid) {
    ASSERT_FALSE(WininetOnSearchPath()) << "needs a system without wininet.dll on the search path";
    Install("[Common]\r\nNetIP=direct.test\r\nNetPort=8081\r\n");
    Prepare(kConfigured);
    std::string printed = Load();
    EXPECT_EQ(kProxyInvalid, downloadContext.proxyMode);
    EXPECT_EQ(kAuthNone, downloadContext.authMode);
    EXPECT_EQ(L"direct.test", downloadContext.proxyHost);
    EXPECT_EQ(8081, downloadContext.proxyPort);
    EXPECT_EQ("PULLAR: Proxy direct.test:8081\n"
              "PULLAR: Type: Invalid\n"
              "PULLAR: Auth: no authentication\n"
              "PULLAR: Proxy l/p: olduser/***\n",
              printed);
}

}  // namespace
