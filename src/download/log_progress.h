// The two reporting channels: diagnostic lines on standard output, and
// progress reports offered to the product's listener on a named pipe, whose
// 4-byte answer may cancel (-1). Both are stateless.
#pragma once

#include <windows.h>

// Kinds of progress report.
constexpr int kProgressLength = 0;     // total body length
constexpr int kProgressReceived = 1;   // body bytes so far
constexpr int kProgressDone = 2;       // end of an attempt that sent kind 0
constexpr int kProgressText = 3;       // a message text
constexpr int kProgressChunk = 6;      // bytes of a chunk; 0 for an idle second
constexpr int kProgressStart = 9;      // before the first attempt
constexpr int kProgressRetry = 10;     // before each further attempt

constexpr int kProgressTextUnits = 32768;
constexpr wchar_t kProgressPipeName[] = L"\\\\.\\pipe\\qrnUpdProgress";
constexpr DWORD kProgressPipeTimeoutMs = 60000;

#pragma pack(push, 1)
struct ProgressMessage {
    INT32 kind;
    INT32 value;
    WCHAR text[kProgressTextUnits];  // cut after 32768 units, zero-filled
};
#pragma pack(pop)
static_assert(sizeof(ProgressMessage) == 65544, "wire size of one report");

constexpr int kLogLineUnits = 32768;

// Formats one line (wide printf conventions of this build: "%ls" for wide
// texts) and writes it with CR LF to standard output; cut at 32767 characters.
void LogLine(const wchar_t* format, ...);

// Fills message for one report: the text cut to 32768 units, rest zero.
void BuildProgressMessage(ProgressMessage& message, int kind, int value, const wchar_t* text);

// Default progress callback: one CallNamedPipeW transaction per report.
int PipeProgressCallback(int kind, int value, const wchar_t* text);
