// WinInet bound at run time into the download context: 17 entry points, the
// root handle by proxy mode. Undone by DownloadContext::ReleaseWininet, which
// owns everything this hands out (both modules and the root handle).
#pragma once

#include "download/context.h"

#include <string>

// 0 when bound: every entry point resolved and the root handle open. Any
// other value is the last error at the failed step; once wininet.dll is
// loaded, wininetLoaded stays set even when a later step fails.
DWORD InitWininet(DownloadContext& context);

// The proxy text of an explicit HTTP proxy root handle: host, ':', port.
std::wstring WininetProxyText(const std::wstring& host, int port);

// What a binding without a root handle reports: the thread's last error, or
// kErrNoRootHandle when no call left one.
DWORD NoRootHandleCode(DWORD lastError);
