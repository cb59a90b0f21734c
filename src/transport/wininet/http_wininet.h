// One HTTP GET through the bound WinInet: IE settings or an explicit proxy,
// HTTP or HTTPS, NTLM logon and impersonation for the proxy account. Sits on
// the binding in the download context; used by the download driver. Each call
// owns its connection and request handles and its logon token and releases
// them before it returns; the root handle stays with the context.
#pragma once

#include "download/common.h"
#include "download/context.h"
#include "download/output_file.h"

#include <wininet.h>

#include <string>

// One attempt: never retries, never follows a redirect. statusOut gets the
// HTTP status, or the error code of a failed call; responseHeaders the raw
// header block. outputFile may be null (the body is then read and dropped).
TransportResult HttpGetWininet(DownloadContext& context, const wchar_t* url, CGenFile* outputFile,
                               DWORD& statusOut, std::string& responseHeaders);

// Reads the raw header block (status line and header lines, each ended by
// CR LF) of an answered request into responseHeaders. 0 when done; 1 or 2
// (as WininetErrorResult) with the code in statusOut when it could not be read.
DWORD HttpGetWininetHeader(HINTERNET request, DownloadContext& context, DWORD& statusOut,
                           std::string& responseHeaders);

// "http://" or "https://" (case-sensitive), host, optional ":port", path.
// False, writing nothing, for any other scheme. A missing or zero port
// becomes 80 or 443; a number past 65535 gives 65536, which no connection
// takes. A missing path becomes "/". May throw std::bad_alloc.
bool SplitWininetUrl(const wchar_t* url, std::wstring& host, int& port, std::wstring& path);

// Whether the URL takes the secure request flag.
bool IsSecureWininetUrl(const wchar_t* url);

// Request flags: reload, no cache write, keep-alive, no auto-redirect, no
// cookies, pragma no-cache, and the secure flag for https.
DWORD WininetRequestFlags(bool secure);

// An NTLM proxy user "domain\user": split at the first backslash (the user
// part keeps any further one). False, writing nothing, without a backslash.
bool SplitNtlmUser(const std::wstring& proxyUser, std::wstring& domain, std::wstring& user);

// 2 for the transient codes (time-out, connection aborted or reset), else 1.
TransportResult WininetErrorResult(DWORD code);

// Result of an answered request whose body (if any) was read: 0 for 2xx and
// 304, 3 for every other status.
TransportResult WininetStatusResult(DWORD status);
