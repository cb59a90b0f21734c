// HttpGetWinsock and the SOCKS 4 handshake against scripted peers on
// 127.0.0.1. A peer is this same program started again as a second process:
// it plays one script per accepted connection (exact bytes, pieces with
// pauses, early close, silence) and records what the transport sent. The
// transport runs on the test's own thread, as in the product; progress
// reports go to a recording callback.
//
// Why a process and not a thread: under the emulated Wine of this machine,
// socket calls on two threads of one process crash now and then.
#include "download/error_codes.h"
#include "download/log_progress.h"
#include "transport/winsock/http10.h"
#include "transport/winsock/http10_parse.h"
#include "transport/winsock/socks4.h"
#include "transport/winsock/tcp.h"

#include <gtest/gtest.h>

#include <winsock2.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

namespace {

// ---- scripted peer -------------------------------------------------------

// How long the peer waits for the transport at any one point before it gives
// up; keeps a broken test from hanging the run.
constexpr DWORD kPeerPatienceSeconds = 20;
constexpr wchar_t kPeerSwitch[] = L"--winsock-peer ";

struct Step {
    enum Kind : char {
        kReadRequest = 'R',  // until "\r\n\r\n"
        kReadSocks = 'S',    // 8 bytes, then through the zero that ends the user id
        kSend = 'D',
        kPause = 'P',
        kClose = 'C',  // shutdown(SD_SEND), then read whatever comes until the transport closes
        kHold = 'H',   // send nothing, read until the transport closes
    } kind;
    std::string bytes;
    DWORD ms = 0;
};
Step ReadRequest() { return {Step::kReadRequest, {}, 0}; }
Step ReadSocks() { return {Step::kReadSocks, {}, 0}; }
Step Send(std::string bytes) { return {Step::kSend, std::move(bytes), 0}; }
Step Pause(DWORD ms) { return {Step::kPause, {}, ms}; }
Step Close() { return {Step::kClose, {}, 0}; }
Step Hold() { return {Step::kHold, {}, 0}; }

using Script = std::vector<Step>;

std::wstring PeerFolder(const std::wstring& id) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + L"winsock-peer-" + id;
}
std::wstring PeerStopEvent(const std::wstring& id) { return L"Local\\winsock-peer-stop-" + id; }

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
    std::wstring partial = path + L".part";
    FILE* f = _wfopen(partial.c_str(), L"wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = std::fclose(f) == 0 && ok;
    return ok && MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}
bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f) return false;
    bytes.clear();
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.append(chunk, n);
    std::fclose(f);
    return true;
}

// Script file: one line per step, "R", "S", "C", "H", "P <ms>", "D <hex>";
// a line "-" ends the script of one connection.
std::string EncodeScripts(const std::vector<Script>& scripts) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const Script& script : scripts) {
        for (const Step& step : script) {
            text += static_cast<char>(step.kind);
            if (step.kind == Step::kPause) text += " " + std::to_string(step.ms);
            if (step.kind == Step::kSend) {
                text += ' ';
                for (unsigned char c : step.bytes) {
                    text += digits[c >> 4];
                    text += digits[c & 15];
                }
            }
            text += '\n';
        }
        text += "-\n";
    }
    return text;
}
std::vector<Script> DecodeScripts(const std::string& text) {
    std::vector<Script> scripts(1);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.empty()) continue;
        if (line == "-") {
            scripts.emplace_back();
            continue;
        }
        Step step{static_cast<Step::Kind>(line[0]), {}, 0};
        if (step.kind == Step::kPause) step.ms = std::strtoul(line.c_str() + 2, nullptr, 10);
        for (size_t i = 2; step.kind == Step::kSend && i + 1 < line.size(); i += 2) {
            step.bytes += static_cast<char>(std::strtoul(line.substr(i, 2).c_str(), nullptr, 16));
        }
        scripts.back().push_back(step);
    }
    scripts.pop_back();  // the empty one after the last "-"
    return scripts;
}

// ---- the peer process -----------------------------------------------------

bool Readable(SOCKET s, long seconds, long microseconds = 0) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval wait = {seconds, microseconds};
    return select(0, &set, nullptr, nullptr, &wait) == 1;
}

// One recv appended to the record; false when the transport closed or went
// silent for too long.
bool ReadSome(SOCKET s, std::string& record) {
    if (!Readable(s, kPeerPatienceSeconds)) return false;
    char chunk[4096];
    int n = recv(s, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    record.append(chunk, n);
    return true;
}

void Play(SOCKET s, const Script& script, std::string& record) {
    size_t mark = 0;  // where the current request starts in the record
    for (const Step& step : script) {
        switch (step.kind) {
            case Step::kReadRequest:
                while (record.find("\r\n\r\n", mark) == std::string::npos) {
                    if (!ReadSome(s, record)) return;
                }
                mark = record.find("\r\n\r\n", mark) + 4;
                break;
            case Step::kReadSocks:
                while (record.size() < mark + 9 || record.find('\0', mark + 8) == std::string::npos) {
                    if (!ReadSome(s, record)) return;
                }
                mark = record.find('\0', mark + 8) + 1;
                break;
            case Step::kSend:
                send(s, step.bytes.data(), static_cast<int>(step.bytes.size()), 0);
                break;
            case Step::kPause:
                Sleep(step.ms);
                break;
            case Step::kClose:
                shutdown(s, SD_SEND);
                while (ReadSome(s, record)) {
                }
                return;
            case Step::kHold:
                while (ReadSome(s, record)) {
                }
                return;
        }
    }
}

// A connection, or false once the test has said that none will come.
bool Incoming(SOCKET listener, HANDLE stop) {
    for (DWORD waited = 0; waited < kPeerPatienceSeconds * 1000; waited += 100) {
        if (Readable(listener, 0, 100 * 1000)) return true;
        if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return Readable(listener, 0);
    }
    return false;
}

void RunPeer(const std::wstring& id) {
    std::wstring folder = PeerFolder(id);
    HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, PeerStopEvent(id).c_str());
    std::string text;
    if (!stop || !ReadWholeFile(folder + L"\\script.txt", text)) return;
    std::vector<Script> scripts = DecodeScripts(text);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 8);
    int length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    WriteWholeFile(folder + L"\\port.txt", std::to_string(ntohs(address.sin_port)));
    int accepted = 0;
    for (const Script& script : scripts) {
        if (!Incoming(listener, stop)) break;
        SOCKET s = accept(listener, nullptr, nullptr);
        if (s == INVALID_SOCKET) break;
        std::string record;
        Play(s, script, record);
        closesocket(s);
        WriteWholeFile(folder + L"\\received" + std::to_wstring(accepted++) + L".bin", record);
    }
    closesocket(listener);
    WriteWholeFile(folder + L"\\accepted.txt", std::to_string(accepted));
}

// Started with the switch, this program is a peer and never runs a test.
const bool peerProcess = [] {
    const wchar_t* line = GetCommandLineW();
    const wchar_t* at = line ? std::wcsstr(line, kPeerSwitch) : nullptr;
    if (!at) return false;
    RunPeer(at + std::wcslen(kPeerSwitch));
    ExitProcess(0);
}();

// ---- the test's side --------------------------------------------------------

class ScriptedPeer {
public:
    // One script per connection, accepted in order.
    explicit ScriptedPeer(std::vector<Script> scripts) {
        static int counter = 0;
        id_ = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        folder_ = PeerFolder(id_);
        RemoveFolder();  // left over by a run that was killed
        CreateDirectoryW(folder_.c_str(), nullptr);
        stop_ = CreateEventW(nullptr, TRUE, FALSE, PeerStopEvent(id_).c_str());
        if (!WriteWholeFile(folder_ + L"\\script.txt", EncodeScripts(scripts))) return;
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(self) + L"\" " + kPeerSwitch + id_;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(self, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &info)) {
            return;
        }
        CloseHandle(info.hThread);
        process_ = info.hProcess;
        std::string port;
        for (int waited = 0; waited < 30000 && !ReadWholeFile(folder_ + L"\\port.txt", port); waited += 20) {
            if (WaitForSingleObject(process_, 20) == WAIT_OBJECT_0) break;
        }
        port_ = std::atoi(port.c_str());
    }
    ~ScriptedPeer() {
        Finish();
        if (stop_) CloseHandle(stop_);
        RemoveFolder();
    }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    int Port() const { return port_; }
    // Lets the peer end once the connections made so far are played, and
    // collects what it recorded.
    void Finish() {
        if (!process_) return;
        SetEvent(stop_);
        WaitForSingleObject(process_, (kPeerPatienceSeconds + 10) * 1000);
        CloseHandle(process_);
        process_ = nullptr;
        std::string count;
        if (ReadWholeFile(folder_ + L"\\accepted.txt", count)) accepted_ = std::atoi(count.c_str());
        received_.assign(accepted_, std::string());
        for (int i = 0; i < accepted_; ++i) {
            ReadWholeFile(folder_ + L"\\received" + std::to_wstring(i) + L".bin", received_[i]);
        }
    }
    // What the transport sent on connection i; after Finish.
    std::string Received(size_t i) const { return i < received_.size() ? received_[i] : "(no connection)"; }
    int Accepted() const { return accepted_; }

private:
    void RemoveFolder() {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((folder_ + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                    DeleteFileW((folder_ + L"\\" + found.cFileName).c_str());
                }
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        RemoveDirectoryW(folder_.c_str());
    }

    std::wstring id_;
    std::wstring folder_;
    HANDLE stop_ = nullptr;
    HANDLE process_ = nullptr;
    int port_ = 0;
    int accepted_ = 0;
    std::vector<std::string> received_;
};

// ---- recording progress callback and in-memory output file ----------------

struct Report {
    int kind;
    int value;
};
std::vector<Report> reports;
int abortAtIdle = 0;   // answer -1 to the n-th idle report (kind 6, value 0)
int abortAtPiece = 0;  // answer -1 to the n-th body piece (kind 6, value > 0)
int idleSeen = 0;
int piecesSeen = 0;

int RecordingCallback(int kind, int value, const wchar_t*) {
    reports.push_back({kind, value});
    if (kind == kProgressChunk && value == 0 && ++idleSeen == abortAtIdle) return -1;
    // A peer that broke would otherwise keep the transport waiting for ever.
    if (idleSeen > static_cast<int>(kPeerPatienceSeconds)) return -1;
    if (kind == kProgressChunk && value > 0 && ++piecesSeen == abortAtPiece) return -1;
    return 0;
}

class MemoryFile : public CGenFile {
public:
    bool Write(const void* data, DWORD length, DWORD* countOut) override {
        written.append(static_cast<const char*>(data), length);
        if (countOut) *countOut = length;
        return true;
    }
    void* ReadAlloc(DWORD) override { return nullptr; }
    void Free(void*) override {}
    LONG Seek(LONG, int) override { return -1; }
    void Close() override {}
    std::string written;
};

std::vector<int> KindsOf(int kind) {
    std::vector<int> values;
    for (const Report& r : reports) {
        if (r.kind == kind) values.push_back(r.value);
    }
    return values;
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string LocalUrl(int port, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

std::string Http(const std::string& statusLine, const std::string& headers, const std::string& body) {
    return statusLine + "\r\n" + headers + "\r\n" + body;
}

const std::string kAgentLines = "Pragma: no-cache\r\nUser-Agent: Pullar/5.00 (unknown)\r\n";

class WinsockTransport : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);  // the peers' own use of Winsock
    }
    static void TearDownTestSuite() { WSACleanup(); }
    void SetUp() override {
        reports.clear();
        abortAtIdle = abortAtPiece = idleSeen = piecesSeen = 0;
        context.proxyMode = kProxyDirect;
        context.authMode = kAuthNone;
        context.progressCallback = RecordingCallback;
    }
    TransportResult Get(const std::string& url, CGenFile* file = nullptr) {
        headers = "untouched";
        status = 0xDEADBEEF;
        return HttpGetWinsock(headers, context, Wide(url).c_str(), file, status);
    }
    // A port on which nothing listens.
    static int ClosedPort() {
        SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
        int length = sizeof address;
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
        closesocket(s);
        return ntohs(address.sin_port);
    }

    DownloadContext context;
    std::string headers;
    DWORD status = 0;
};

// ---- the TCP layer ----------------------------------------------------------

TEST_F(WinsockTransport, ResolveHostAddressTable) {
    ASSERT_EQ(0u, InitWinsock(context));
    struct Case {
        const wchar_t* host;
        u_long expected;
    } cases[] = {
        {nullptr, kNoAddress},
        {L"", kNoAddress},
        {L"127.0.0.1", htonl(0x7F000001)},
        {L"255.255.255.255", kNoAddress},
        {L"300.0.0.1", kNoAddress},
        // A leading digit means a dotted address: never looked up as a name.
        {L"1localhost", kNoAddress},
        {L"localhost", htonl(0x7F000001)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, ResolveHostAddress(c.host)) << (c.host ? std::string(c.host, c.host + wcslen(c.host)) : "(null)");
    }
}

TEST_F(WinsockTransport, ReceiveUntilPeerCloseThenOnAClosedSocket) {
    ScriptedPeer peer({{Send("ab"), Close()}});
    ASSERT_EQ(0u, InitWinsock(context));
    SOCKET s = INVALID_SOCKET;
    ASSERT_EQ(0u, WinsockTcpConnect(inet_addr("127.0.0.1"), peer.Port(), &s));
    UniqueSocket owner(s);
    char buffer[16 + 1];
    std::string got;
    int n = -1;
    DWORD rc = 0;
    while ((rc = ReceiveWithTimeout(s, buffer, 16, &n)) == 0 && n > 0) got.append(buffer, n);
    EXPECT_EQ(0u, rc);
    EXPECT_EQ(0, n);
    EXPECT_EQ('\0', buffer[0]);
    EXPECT_EQ("ab", got);
    owner.Reset();
    // A handle that is no longer a socket is a failure with its own code,
    // never data.
    EXPECT_EQ(static_cast<DWORD>(WSAENOTSOCK), ReceiveWithTimeout(s, buffer, 16, &n));
    EXPECT_EQ(0, n);
    EXPECT_EQ(static_cast<DWORD>(WSAENOTSOCK), SendWithTimeout(s, "x", 1, nullptr));
}

// ---- request bytes ------------------------------------------------------

TEST_F(WinsockTransport, RequestBytesOnTheWire) {
    struct Case {
        const char* name;
        ProxyMode mode;
        std::string url;  // PORT is the peer's port
        AuthMode authMode;
        bool credentials;
        std::string expected;  // PORT as above
    } cases[] = {
        {"direct", kProxyDirect, "http://127.0.0.1:PORT/files/emupdate/20150209.cab", kAuthNone, false,
         "GET /files/emupdate/20150209.cab HTTP/1.0\r\nHost: 127.0.0.1:PORT\r\n" + kAgentLines + "\r\n"},
        {"direct without a path", kProxyDirect, "http://127.0.0.1:PORT", kAuthNone, false,
         "GET / HTTP/1.0\r\nHost: 127.0.0.1:PORT\r\n" + kAgentLines + "\r\n"},
        {"mode -1 goes direct", kProxyInvalid, "http://127.0.0.1:PORT/a?b#c", kAuthNone, false,
         "GET /a?b#c HTTP/1.0\r\nHost: 127.0.0.1:PORT\r\n" + kAgentLines + "\r\n"},
        {"http proxy", kProxyHttp, "http://update.quarn.com:8080/files/a.cab", kAuthNone, true,
         "GET http://update.quarn.com:8080/files/a.cab HTTP/1.0\r\nHost: update.quarn.com:8080\r\n" +
             kAgentLines + "\r\n"},
        {"http proxy, basic", kProxyHttp, "http://update.quarn.com/files/a.cab", kAuthBasic, true,
         "GET http://update.quarn.com/files/a.cab HTTP/1.0\r\nHost: update.quarn.com\r\n" + kAgentLines +
             "Proxy-Authorization: Basic dXNlcjpwYXNz\r\n\r\n"},
        {"http proxy, basic chosen but no token", kProxyHttp, "http://update.quarn.com/files/a.cab",
         kAuthBasic, false,
         "GET http://update.quarn.com/files/a.cab HTTP/1.0\r\nHost: update.quarn.com\r\n" + kAgentLines +
             "\r\n"},
    };
    const Script answer = {ReadRequest(), Send("HTTP/1.0 204 No Content\r\n\r\n"), Close()};
    ScriptedPeer peer(std::vector<Script>(std::size(cases), answer));
    std::string port = std::to_string(peer.Port());
    auto withPort = [&](std::string text) {
        for (size_t at; (at = text.find("PORT")) != std::string::npos;) text.replace(at, 4, port);
        return text;
    };
    for (const Case& c : cases) {
        context.proxyMode = c.mode;
        // Mode -1 keeps a proxy host that must not be used.
        context.proxyHost = c.mode == kProxyDirect ? L"" : L"127.0.0.1";
        context.proxyPort = c.mode == kProxyHttp ? peer.Port() : ClosedPort();
        context.authMode = c.authMode;
        context.proxyAuthToken.clear();
        if (c.credentials) context.SetProxyCredentials(L"user", L"pass");
        EXPECT_EQ(kTransportOk, Get(withPort(c.url))) << c.name;
        EXPECT_EQ(204u, status) << c.name;
    }
    peer.Finish();
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(withPort(cases[i].expected), peer.Received(i)) << cases[i].name;
    }
}

// ---- URL forms and connection failures ------------------------------------

TEST_F(WinsockTransport, UnusableAddressesAndRefusedConnection) {
    ScriptedPeer listening(std::vector<Script>{{Hold()}});  // a live port that must see no connection
    std::string port = std::to_string(listening.Port());
    struct Case {
        ProxyMode mode;
        std::string url;
        DWORD status;
    } cases[] = {
        {kProxyDirect, "HTTP://127.0.0.1:" + port + "/a", WSAHOST_NOT_FOUND},
        {kProxyDirect, "/files/emupdate/20150209.cab", WSAHOST_NOT_FOUND},
        {kProxyIE, "http://127.0.0.1:" + port + "/a", WSAHOST_NOT_FOUND},
        {kProxyDirect, "http://300.1.1.1:" + port + "/a", WSAHOST_NOT_FOUND},
        {kProxyDirect, "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/a", WSAECONNREFUSED},
    };
    for (const Case& c : cases) {
        context.proxyMode = c.mode;
        EXPECT_EQ(kTransportNoConnection, Get(c.url)) << c.url;
        EXPECT_EQ(c.status, status) << c.url;
        EXPECT_EQ("untouched", headers) << c.url;
    }
    EXPECT_TRUE(reports.empty());
    listening.Finish();
    EXPECT_EQ(0, listening.Accepted());
}

// ---- response handling --------------------------------------------------

TEST_F(WinsockTransport, ResponseTable) {
    const std::string noBlank(kResponseBufferSize, 'a');
    struct Case {
        const char* name;
        Script answer;  // after the request was read
        TransportResult result;
        DWORD status;
        std::string written;
        std::string headers;
        int announced;  // value of kind 0; 0: no kinds 0, 1, 2
    } cases[] = {
        {"HTTP/1.1 200", {Send(Http("HTTP/1.1 200 OK", "Content-Length: 5\r\n", "hello")), Close()},
         kTransportOk, 200, "hello", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", 5},
        {"blank line split, body in the same receive",
         {Send("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r"), Pause(300), Send("\nHELLO"), Pause(300),
          Send("WORLD"), Close()},
         kTransportOk, 200, "HELLOWORLD", "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n", 10},
        {"status line in pieces",
         {Send("HTT"), Pause(200), Send("P/1.0 2"), Pause(200), Send("00 OK\r\n\r\nab"), Close()},
         kTransportOk, 200, "ab", "HTTP/1.0 200 OK\r\n", 0},
        {"mixed case kept",
         {Send(Http("HTTP/1.0 200 OK", "CONTENT-length: 5\r\nX-Tag: AbC\r\n", "12345")), Close()},
         kTransportOk, 200, "12345", "HTTP/1.0 200 OK\r\nCONTENT-length: 5\r\nX-Tag: AbC\r\n", 5},
        {"no length", {Send(Http("HTTP/1.0 200 OK", "", "xyz")), Close()}, kTransportOk, 200, "xyz",
         "HTTP/1.0 200 OK\r\n", 0},
        {"length 0", {Send(Http("HTTP/1.0 200 OK", "Content-Length: 0\r\n", "xyz")), Close()},
         kTransportOk, 200, "xyz", "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n", 0},
        {"longer than announced", {Send(Http("HTTP/1.0 200 OK", "Content-Length: 2\r\n", "xyz")), Close()},
         kTransportOk, 200, "xyz", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n", 2},
        {"404 with a length",
         {Send(Http("HTTP/1.0 404 Not Found", "Content-Length: 9\r\n", "not found")), Close()},
         kTransportHttpStatus, 404, "", "HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n", 9},
        {"404 cut short is still 404",
         {Send(Http("HTTP/1.0 404 Not Found", "Content-Length: 99\r\n", "short")), Close()},
         kTransportHttpStatus, 404, "", "HTTP/1.0 404 Not Found\r\nContent-Length: 99\r\n", 99},
        {"304", {Send(Http("HTTP/1.0 304 Not Modified", "", "")), Close()}, kTransportOk, 304, "",
         "HTTP/1.0 304 Not Modified\r\n", 0},
        {"2xx cut short", {Send(Http("HTTP/1.0 200 OK", "Content-Length: 10\r\n", "hello")), Close()},
         kTransportTransient, kErrPeerClosedEarly, "hello", "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n", 10},
        {"2xx with none of its body",
         {Send(Http("HTTP/1.0 206 Partial", "Content-Length: 10\r\n", "")), Close()}, kTransportTransient,
         kErrPeerClosedEarly, "", "HTTP/1.0 206 Partial\r\nContent-Length: 10\r\n", 10},
        {"8192 bytes without a blank line", {Send(noBlank), Hold()}, kTransportHttpStatus, 0, "",
         "untouched", 0},
        {"closed before the blank line", {Send("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n"), Close()},
         kTransportHttpStatus, 0, "", "untouched", 0},
        {"no space in the status line", {Send("garbage\r\n\r\nbody"), Close()}, kTransportHttpStatus, 0, "",
         "garbage\r\n", 0},
    };
    std::vector<Script> scripts;
    for (const Case& c : cases) {
        scripts.push_back({ReadRequest()});
        scripts.back().insert(scripts.back().end(), c.answer.begin(), c.answer.end());
    }
    ScriptedPeer peer(scripts);
    for (const Case& c : cases) {
        MemoryFile file;
        reports.clear();
        EXPECT_EQ(c.result, Get(LocalUrl(peer.Port(), "/f"), &file)) << c.name;
        EXPECT_EQ(c.status, status) << c.name;
        EXPECT_EQ(c.written, file.written) << c.name;
        EXPECT_EQ(c.headers, headers) << c.name;
        // Kind 0 once at most, and kind 2 at the very end exactly when
        // kind 0 came.
        std::vector<int> expectedLength, expectedDone;
        if (c.announced) {
            expectedLength = {c.announced};
            expectedDone = {0};
        }
        EXPECT_EQ(expectedLength, KindsOf(kProgressLength)) << c.name;
        EXPECT_EQ(expectedDone, KindsOf(kProgressDone)) << c.name;
        if (c.announced) {
            EXPECT_EQ(kProgressDone, reports.back().kind) << c.name;
        }
        // Every written piece is reported, and kind 1 counts them up.
        int pieces = 0;
        std::vector<int> running;
        for (const Report& r : reports) {
            if (r.kind == kProgressChunk && r.value > 0) {
                pieces += r.value;
                running.push_back(pieces);
            }
        }
        EXPECT_EQ(static_cast<int>(c.written.size()), pieces) << c.name;
        EXPECT_EQ(c.announced ? running : std::vector<int>{}, KindsOf(kProgressReceived)) << c.name;
    }
}

TEST_F(WinsockTransport, BodyWithoutAFileIsReadAndDropped) {
    ScriptedPeer peer({{ReadRequest(), Send(Http("HTTP/1.0 200 OK", "Content-Length: 3\r\n", "abc")), Close()}});
    EXPECT_EQ(kTransportOk, Get(LocalUrl(peer.Port(), "/f")));
    EXPECT_EQ(200u, status);
    EXPECT_TRUE(KindsOf(kProgressChunk).empty());
    EXPECT_EQ(std::vector<int>{3}, KindsOf(kProgressLength));
}

TEST_F(WinsockTransport, SilentServerReportsIdleSecondsUntilCancelled) {
    ScriptedPeer peer({{ReadRequest(), Hold()}});
    abortAtIdle = 2;
    DWORD start = GetTickCount();
    EXPECT_EQ(kTransportCancelled, Get(LocalUrl(peer.Port(), "/f")));
    DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(0u, status);
    ASSERT_EQ(2u, reports.size());
    for (const Report& r : reports) {
        EXPECT_EQ(kProgressChunk, r.kind);
        EXPECT_EQ(0, r.value);
    }
    EXPECT_GE(elapsed, 1900u);  // two one-second waits, not a busy loop
}

TEST_F(WinsockTransport, CancelOnABodyPieceKeepsTheStatusAndEndsTheReports) {
    ScriptedPeer peer({{ReadRequest(), Send(Http("HTTP/1.0 200 OK", "Content-Length: 8\r\n", "part")),
                        Pause(300), Send("rest"), Close()}});
    abortAtPiece = 1;
    MemoryFile file;
    EXPECT_EQ(kTransportCancelled, Get(LocalUrl(peer.Port(), "/f"), &file));
    EXPECT_EQ(200u, status);
    EXPECT_EQ("part", file.written);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(kProgressDone, reports.back().kind);
}

TEST_F(WinsockTransport, WinsockStartsOncePerProcess) {
    ScriptedPeer peer({{ReadRequest(), Send(Http("HTTP/1.0 200 OK", "", "1")), Close()},
                       {ReadRequest(), Send(Http("HTTP/1.0 200 OK", "", "2")), Close()}});
    EXPECT_EQ(kTransportOk, Get(LocalUrl(peer.Port(), "/one")));
    EXPECT_TRUE(context.winsockStarted);
    EXPECT_EQ(kTransportOk, Get(LocalUrl(peer.Port(), "/two")));
    EXPECT_TRUE(context.winsockStarted);
    peer.Finish();
    EXPECT_EQ(2, peer.Accepted());
    // Each WSAStartup is undone by one WSACleanup: draining them counts the
    // starts so far, the suite's own and the transport's.
    int starts = 0;
    while (WSACleanup() == 0) ++starts;
    WSADATA data;
    for (int i = 0; i < starts; ++i) WSAStartup(MAKEWORD(2, 2), &data);
    EXPECT_EQ(2, starts);
}

// ---- SOCKS 4 ------------------------------------------------------------

class SocksTransport : public WinsockTransport {
protected:
    void SetUp() override {
        WinsockTransport::SetUp();
        context.proxyMode = kProxySocks;
        context.proxyHost = L"127.0.0.1";
        context.SetProxyCredentials(L"alice", L"s3cr3t-pw");
    }
};

TEST_F(SocksTransport, TunnelThenHttpRequestWithThePath) {
    struct Case {
        const char* name;
        const wchar_t* user;
        std::string url;
        std::string socksRequest;
        std::string host;
    } cases[] = {
        {"user id and port", L"alice", "http://127.0.0.1:8080/files/a.cab?x=1",
         std::string("\x04\x01\x1F\x90\x7F\x00\x00\x01" "alice\x00", 14), "127.0.0.1:8080"},
        {"empty user id, no port", L"", "http://127.0.0.1/b",
         std::string("\x04\x01\x00\x50\x7F\x00\x00\x01\x00", 9), "127.0.0.1"},
        {"https keeps port 80", L"", "https://127.0.0.1:0/c",
         std::string("\x04\x01\x00\x50\x7F\x00\x00\x01\x00", 9), "127.0.0.1:0"},
    };
    // The reply comes in two pieces, with VN 4 rather than 0; the HTTP answer
    // follows at once, so only 8 bytes may be taken as the reply.
    const Script proxy = {ReadSocks(), Send(std::string("\x04\x5A\x00", 3)), Pause(300),
                          Send(std::string("\x12\x34\x56\x78\x9A", 5) + Http("HTTP/1.0 200 OK", "", "tunnel")),
                          ReadRequest(), Close()};
    ScriptedPeer peer(std::vector<Script>(std::size(cases), proxy));
    context.proxyPort = peer.Port();
    std::vector<std::string> tokens;
    for (const Case& c : cases) {
        context.SetProxyCredentials(c.user, L"s3cr3t-pw");
        MemoryFile file;
        EXPECT_EQ(kTransportOk, Get(c.url, &file)) << c.name;
        EXPECT_EQ(200u, status) << c.name;
        EXPECT_EQ("tunnel", file.written) << c.name;
        tokens.push_back(context.proxyAuthToken);
    }
    peer.Finish();
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        std::string sent = peer.Received(i);
        std::string path = c.url.substr(c.url.find('/', 8));
        EXPECT_EQ(c.socksRequest + "GET " + path + " HTTP/1.0\r\nHost: " + c.host + "\r\n" + kAgentLines + "\r\n",
                  sent)
            << c.name;
        EXPECT_EQ(std::string::npos, sent.find("s3cr3t-pw")) << c.name;
        EXPECT_EQ(std::string::npos, sent.find(tokens[i])) << c.name;
    }
}

TEST_F(SocksTransport, RefusalsAndBrokenHandshakes) {
    struct Case {
        const char* name;
        Script afterRequest;
        TransportResult result;
        DWORD status;
    } cases[] = {
        {"refused 91", {Send(std::string("\x00\x5B\x00\x00\x00\x00\x00\x00", 8)), Close()},
         kTransportHttpStatus, 91},
        {"refused 93", {Send(std::string("\x00\x5D\x00\x00\x00\x00\x00\x00", 8)), Close()},
         kTransportHttpStatus, 93},
        {"closed after 3 reply bytes", {Send(std::string("\x00\x5A\x00", 3)), Close()}, kTransportTransient,
         kErrPeerClosedEarly},
        {"closed before any reply", {Close()}, kTransportTransient, kErrPeerClosedEarly},
    };
    std::vector<Script> scripts;
    for (const Case& c : cases) {
        scripts.push_back({ReadSocks()});
        scripts.back().insert(scripts.back().end(), c.afterRequest.begin(), c.afterRequest.end());
    }
    ScriptedPeer peer(scripts);
    context.proxyPort = peer.Port();
    for (const Case& c : cases) {
        reports.clear();
        EXPECT_EQ(c.result, Get("http://127.0.0.1/a")) << c.name;
        EXPECT_EQ(c.status, status) << c.name;
        EXPECT_TRUE(reports.empty()) << c.name;
    }
    peer.Finish();
    for (size_t i = 0; i < std::size(cases); ++i) {
        // Nothing follows the 14 bytes of the CONNECT request: no HTTP.
        EXPECT_EQ(14u, peer.Received(i).size()) << cases[i].name;
    }
}

TEST_F(SocksTransport, UnresolvableDestinationSendsNothing) {
    ScriptedPeer peer({{Hold()}});
    context.proxyPort = peer.Port();
    EXPECT_EQ(kTransportNoConnection, Get("http://300.0.0.1/a"));
    EXPECT_EQ(static_cast<DWORD>(WSAHOST_NOT_FOUND), status);
    peer.Finish();
    EXPECT_EQ(1, peer.Accepted());
    EXPECT_EQ("", peer.Received(0));
}

TEST_F(SocksTransport, SilentProxyReportsIdleSecondsUntilCancelled) {
    ScriptedPeer peer({{ReadSocks(), Hold()}});
    context.proxyPort = peer.Port();
    abortAtIdle = 2;
    EXPECT_EQ(kTransportCancelled, Get("http://127.0.0.1/a"));
    EXPECT_EQ(0u, status);
    ASSERT_EQ(2u, reports.size());
    EXPECT_EQ(kProgressChunk, reports[1].kind);
    EXPECT_EQ(0, reports[1].value);
    peer.Finish();
    EXPECT_EQ(14u, peer.Received(0).size());
}

}  // namespace
