// Diagnostic lines to standard output and progress reports to the listener's
// pipe. Sits on the C runtime's stdout and CallNamedPipeW; used by every part
// of the download component.
#include "download/log_progress.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>

void LogLine(const wchar_t* format, ...) {
    // Allocated per line rather than on the stack: 64 KiB of line plus the
    // narrow copy would otherwise sit on every caller's stack.
    std::unique_ptr<wchar_t[]> line(new (std::nothrow) wchar_t[kLogLineUnits]());
    std::unique_ptr<char[]> narrow(new (std::nothrow) char[kLogLineUnits + 1]);
    if (!line || !narrow) return;
    va_list args;
    va_start(args, format);
    // A result that does not fit is cut: the runtime fills the buffer and the
    // last unit stays the terminator.
    _vsnwprintf(line.get(), kLogLineUnits - 1, format, args);
    va_end(args);
    line[kLogLineUnits - 1] = L'\0';
    // Characters below 256 are written as the byte of the same value, the
    // rest as '?': the console's narrow stream has no form for them.
    size_t n = 0;
    for (; line[n]; ++n) narrow[n] = line[n] < 256 ? static_cast<char>(line[n]) : '?';
    narrow[n++] = '\n';  // text mode turns it into CR LF
    std::fwrite(narrow.get(), 1, n, stdout);
    std::fflush(stdout);
}

void BuildProgressMessage(ProgressMessage& message, int kind, int value, const wchar_t* text) {
    std::memset(&message, 0, sizeof message);
    message.kind = kind;
    message.value = value;
    if (text) {
        for (int i = 0; i < kProgressTextUnits && text[i]; ++i) message.text[i] = text[i];
    }
}

int PipeProgressCallback(int kind, int value, const wchar_t* text) {
    std::unique_ptr<ProgressMessage> message(new (std::nothrow) ProgressMessage);
    if (!message) return 0;
    BuildProgressMessage(*message, kind, value, text);
    INT32 answer = 0;
    DWORD read = 0;
    // Connect, write, read, close in one transaction. Its result is not
    // looked at: no listener, or a short reply, leaves zeros in the answer.
    CallNamedPipeW(kProgressPipeName, message.get(), sizeof *message, &answer, sizeof answer,
                   &read, kProgressPipeTimeoutMs);
    return answer;
}
