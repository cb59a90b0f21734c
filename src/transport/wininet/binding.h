// WinInet bound at run time into the download context: 17 entry points, the
// root handle by proxy mode. Undone by DownloadContext::ReleaseWininet.
#pragma once

#include "download/context.h"

DWORD InitWininet(DownloadContext& context);
