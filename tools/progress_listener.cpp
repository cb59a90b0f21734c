// Stand-in for the product component that serves the progress pipe: one
// message in and one 4-byte answer out per connection, as the download
// component's reports expect. Shows a person the download on the console and,
// for tests, records every report and answers by a script.
//
//   progress_listener [--record PATH] [--raw-kind KIND] [--answer KIND:NTH:VALUE]...
//       [--short-reply KIND:NTH:NBYTES]... [--exit-after N] [--timeout SECONDS]
//
// NTH counts the reports of one kind from 1; 0 means every report of it. VALUE
// takes decimal or 0x hex (0xFFFFFFFF is -1). A short reply writes only the
// first NBYTES (1..3) of the answer; 0 cuts the connection without any
// reply, so that the client's call fails. --timeout ends the listener after that
// many idle seconds (default 120; 0 waits for ever). "LISTENING" is printed
// once the pipe exists; the exit code is 0 after --exit-after, 2 after the
// idle time-out, 1 when the pipe cannot be served.
//
// Record lines: "MSG seq=S kind=K value=V bytes=B textlen=L answer=A reply=R
// text=T", T being the text up to its first zero unit, "\" and control or
// non-ASCII units written as \uXXXX; with --raw-kind K the
// reports of that kind also carry "raw=" and the 65536 text bytes in hex.
#include "download/log_progress.h"
#include "download/unique_handle.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr DWORD kMessageBytes = sizeof(ProgressMessage);
constexpr int kKinds = 16;  // kinds counted for NTH; others count as never seen
constexpr int kBarWidth = 20;
constexpr int kShownTextUnits = 160;  // of a message text on the console

struct Rule {
    int kind;
    int nth;
    long long value;  // the answer, or the reply length
};

struct Options {
    std::wstring recordPath;
    int rawKind = -1;
    std::vector<Rule> answers;
    std::vector<Rule> shortReplies;
    long exitAfter = 0;
    DWORD timeoutSeconds = 120;
};

FILE* record;

bool ParseRule(const wchar_t* text, Rule& rule) {
    wchar_t* end = nullptr;
    rule.kind = static_cast<int>(std::wcstol(text, &end, 10));
    if (*end != L':') return false;
    rule.nth = static_cast<int>(std::wcstol(end + 1, &end, 10));
    if (*end != L':') return false;
    rule.value = std::wcstoll(end + 1, &end, 0);
    return *end == L'\0';
}

const Rule* Match(const std::vector<Rule>& rules, int kind, int count) {
    for (const Rule& r : rules) {
        if (r.kind == kind && (r.nth == 0 || r.nth == count)) return &r;
    }
    return nullptr;
}

void AppendEscaped(std::string& out, unsigned unit) {
    if (unit >= 0x20 && unit < 0x7F && unit != '\\') {
        out += static_cast<char>(unit);
    } else {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04X", unit);
        out += escaped;
    }
}

int TextLength(const ProgressMessage& m) {
    int n = 0;
    while (n < kProgressTextUnits && m.text[n]) ++n;
    return n;
}

void Record(long seq, const ProgressMessage& m, DWORD bytes, INT32 answer, DWORD reply,
            bool raw) {
    if (!record) return;
    int length = TextLength(m);
    std::string line;
    line.reserve(raw ? 2 * sizeof m.text + 256 : 256);
    char head[200];
    std::snprintf(head, sizeof head,
                  "MSG seq=%ld kind=%d value=%d bytes=%lu textlen=%d answer=%d reply=%lu text=",
                  seq, static_cast<int>(m.kind), static_cast<int>(m.value), bytes, length,
                  static_cast<int>(answer), reply);
    line += head;
    for (int i = 0; i < length; ++i) AppendEscaped(line, m.text[i]);
    if (raw) {
        static const char kHex[] = "0123456789abcdef";
        line += " raw=";
        const unsigned char* p = reinterpret_cast<const unsigned char*>(m.text);
        for (size_t i = 0; i < sizeof m.text; ++i) {
            line += kHex[p[i] >> 4];
            line += kHex[p[i] & 15];
        }
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), record);
    std::fflush(record);
}

// What a person watching the download sees: the bar from the stated length
// and the bytes so far; without a stated length only the byte count.
struct Display {
    long long total = -1;
    long long received = 0;  // from kind 1, or the sum of kind 6 chunks

    void Bar(const char* note) {
        if (total > 0) {
            long long shown = received < total ? received : total;
            int percent = static_cast<int>(shown * 100 / total);
            int filled = static_cast<int>(shown * kBarWidth / total);
            char bar[kBarWidth + 1];
            for (int i = 0; i < kBarWidth; ++i) bar[i] = i < filled ? '#' : '.';
            bar[kBarWidth] = '\0';
            std::printf("[%s] %3d%% %lld/%lld bytes%s\n", bar, percent, received, total, note);
        } else {
            std::printf("%lld bytes received%s\n", received, note);
        }
    }

    void Show(const ProgressMessage& m) {
        switch (m.kind) {
            case kProgressLength:
                total = m.value;
                received = 0;
                Bar("");
                break;
            case kProgressReceived:
                received = m.value;
                Bar("");
                break;
            case kProgressDone:
                Bar(" - done");
                total = -1;
                received = 0;
                break;
            case kProgressChunk:
                if (m.value == 0) {
                    std::printf("... waiting for data\n");
                } else if (total <= 0) {
                    received += m.value;
                    Bar("");
                }
                break;
            case kProgressText: {
                std::string text;
                int n = TextLength(m);
                for (int i = 0; i < n && i < kShownTextUnits; ++i) {
                    text += m.text[i] < 128 ? static_cast<char>(m.text[i]) : '?';
                }
                std::printf("MESSAGE: %s%s\n", text.c_str(), n > kShownTextUnits ? "..." : "");
                break;
            }
            case kProgressStart:
                std::printf("Download starting\n");
                total = -1;
                received = 0;
                break;
            case kProgressRetry:
                std::printf("Retrying\n");
                total = -1;
                received = 0;
                break;
            default:
                std::printf("report kind %d value %d\n", static_cast<int>(m.kind),
                            static_cast<int>(m.value));
        }
        std::fflush(stdout);
    }
};

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        bool hasValue = i + 1 < argc;
        Rule rule;
        if (arg == L"--record" && hasValue) {
            options.recordPath = argv[++i];
        } else if (arg == L"--raw-kind" && hasValue) {
            options.rawKind = static_cast<int>(std::wcstol(argv[++i], nullptr, 10));
        } else if (arg == L"--answer" && hasValue && ParseRule(argv[i + 1], rule)) {
            options.answers.push_back(rule);
            ++i;
        } else if (arg == L"--short-reply" && hasValue && ParseRule(argv[i + 1], rule) &&
                   rule.value >= 0 && rule.value < 4) {
            options.shortReplies.push_back(rule);
            ++i;
        } else if (arg == L"--exit-after" && hasValue) {
            options.exitAfter = std::wcstol(argv[++i], nullptr, 10);
        } else if (arg == L"--timeout" && hasValue) {
            options.timeoutSeconds = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
        } else {
            std::fwprintf(stderr, L"progress_listener: bad argument %ls\n", arg.c_str());
            return false;
        }
    }
    return true;
}

// The server's pipe instances, each driven with overlapped I/O so that every
// wait ends at the idle limit and a test whose client never comes cannot hang.
class PipeServer {
public:
    explicit PipeServer(DWORD idleSeconds)
        : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          idleMs_(idleSeconds ? idleSeconds * 1000 : INFINITE),
          lastActivity_(GetTickCount()) {}

    bool Ready() const { return event_.Valid(); }
    bool TimedOut() const { return timedOut_; }
    void Touch() { lastActivity_ = GetTickCount(); }

    // A message pipe, since each report is one CallNamedPipeW transaction.
    // The first instance fails when another listener serves the name, so
    // that two listeners never share the reports.
    HANDLE NewInstance(bool first) {
        return CreateNamedPipeW(kProgressPipeName,
                                PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                                    (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                PIPE_UNLIMITED_INSTANCES, sizeof(INT32), kMessageBytes, 0,
                                nullptr);
    }

    bool Connect(HANDLE pipe) {
        OVERLAPPED ov = Fresh();
        DWORD unused = 0;
        // A client that came before the call is already connected.
        BOOL started = ConnectNamedPipe(pipe, &ov);
        if (!started && GetLastError() == ERROR_PIPE_CONNECTED) return true;
        return Finish(pipe, started, ov, unused);
    }

    // One whole message; a longer one than expected is drained and counted.
    bool ReadMessage(HANDLE pipe, ProgressMessage& message, DWORD& total) {
        total = 0;
        char* into = reinterpret_cast<char*>(&message);
        DWORD room = kMessageBytes;
        char rest[4096];
        for (;;) {
            OVERLAPPED ov = Fresh();
            DWORD got = 0;
            bool ok = Finish(pipe, ReadFile(pipe, into, room, nullptr, &ov), ov, got);
            total += got;
            if (ok) return true;
            if (GetLastError() != ERROR_MORE_DATA) return false;
            into = rest;
            room = sizeof rest;
        }
    }

    bool Write(HANDLE pipe, const void* data, DWORD length) {
        OVERLAPPED ov = Fresh();
        DWORD written = 0;
        return Finish(pipe, WriteFile(pipe, data, length, nullptr, &ov), ov, written) &&
               written == length;
    }

    // Disconnecting throws away what the client has not read yet: wait until
    // it has read the answer and closed its end.
    void AwaitClose(HANDLE pipe) {
        char drain[16];
        for (;;) {
            OVERLAPPED ov = Fresh();
            DWORD got = 0;
            if (!Finish(pipe, ReadFile(pipe, drain, sizeof drain, nullptr, &ov), ov, got) &&
                GetLastError() != ERROR_MORE_DATA) {
                return;
            }
        }
    }

private:
    OVERLAPPED Fresh() {
        OVERLAPPED ov = {};
        ResetEvent(event_.Get());
        ov.hEvent = event_.Get();
        return ov;
    }

    // Completes an operation started on ov (started: what the starting call
    // returned): true when it succeeded, false with the thread's last error
    // otherwise. Cancelled at the idle limit.
    bool Finish(HANDLE pipe, BOOL started, OVERLAPPED& ov, DWORD& bytes) {
        if (!started && GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA) {
            return false;
        }
        DWORD wait = INFINITE;
        if (idleMs_ != INFINITE) {
            DWORD idle = GetTickCount() - lastActivity_;
            wait = idle < idleMs_ ? idleMs_ - idle : 0;
        }
        if (WaitForSingleObject(ov.hEvent, wait) == WAIT_TIMEOUT) {
            CancelIo(pipe);
            GetOverlappedResult(pipe, &ov, &bytes, TRUE);
            timedOut_ = true;
            SetLastError(ERROR_TIMEOUT);
            return false;
        }
        return GetOverlappedResult(pipe, &ov, &bytes, FALSE) != FALSE;
    }

    UniqueNullableHandle event_;
    DWORD idleMs_;
    DWORD lastActivity_;
    bool timedOut_ = false;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) return 1;
    std::unique_ptr<ProgressMessage> message(new (std::nothrow) ProgressMessage);
    PipeServer server(options.timeoutSeconds);
    if (!message || !server.Ready()) return 1;

    // Wine ignores the first-instance flag: ask whether the name is served.
    if (WaitNamedPipeW(kProgressPipeName, 1) || GetLastError() != ERROR_FILE_NOT_FOUND) {
        std::printf("ERROR: another listener serves the pipe\n");
        std::fflush(stdout);
        return 1;
    }
    UniqueHandle current(server.NewInstance(true));
    if (!current) {
        std::printf("ERROR: CreateNamedPipeW returned %lu\n", GetLastError());
        std::fflush(stdout);
        return 1;
    }
    if (!options.recordPath.empty()) {
        record = _wfopen(options.recordPath.c_str(), L"wb");
        if (!record) {
            std::printf("ERROR: cannot write the record file\n");
            std::fflush(stdout);
            return 1;
        }
    }
    std::printf("LISTENING\n");
    std::fflush(stdout);

    Display display;
    int seen[kKinds] = {};
    long seq = 0;
    int exitCode = 0;
    for (;;) {
        if (!server.Connect(current.Get())) {
            if (!server.TimedOut()) {
                std::printf("ERROR: ConnectNamedPipe returned %lu\n", GetLastError());
                exitCode = 1;
            }
            break;
        }
        DWORD bytes = 0;
        bool complete = server.ReadMessage(current.Get(), *message, bytes) && bytes >= 8;
        if (!complete) {
            // Nothing usable arrived: record it, answer nothing.
            std::memset(message.get(), 0, kMessageBytes);
            message->kind = -1;
        }
        // The next instance listens before this one is done, so a client's
        // next report never finds the name missing or busy.
        UniqueHandle next(server.NewInstance(false));
        int kind = message->kind;
        int count = (kind >= 0 && kind < kKinds) ? ++seen[kind] : 0;
        const Rule* answerRule = Match(options.answers, kind, count);
        INT32 answer = answerRule ? static_cast<INT32>(static_cast<UINT32>(answerRule->value)) : 0;
        const Rule* shortRule = Match(options.shortReplies, kind, count);
        DWORD reply = shortRule ? static_cast<DWORD>(shortRule->value) : sizeof answer;
        if (!complete) reply = 0;
        // No reply at all: the client's read fails once the connection is cut.
        if (reply > 0 && server.Write(current.Get(), &answer, reply)) {
            server.AwaitClose(current.Get());
        }
        DisconnectNamedPipe(current.Get());
        current = std::move(next);
        server.Touch();

        ++seq;
        Record(seq, *message, bytes, answer, reply, kind == options.rawKind);
        display.Show(*message);
        if (options.exitAfter > 0 && seq >= options.exitAfter) break;
        if (!current) {
            std::printf("ERROR: CreateNamedPipeW returned %lu\n", GetLastError());
            exitCode = 1;
            break;
        }
        if (server.TimedOut()) break;
    }
    if (server.TimedOut()) {
        std::printf("TIMEOUT\n");
        exitCode = 2;
    }
    if (record) std::fclose(record);
    std::printf("END %ld messages\n", seq);
    std::fflush(stdout);
    return exitCode;
}
