// SOCKS 4 CONNECT on a freshly connected socket.
#pragma once

#include "download/context.h"

#include <winsock2.h>

// 0 tunnel open; 3 refused (status = reply code); 8 no memory.
// Network failures raise a DWORD, a cancel raises UserAbort.
DWORD SocksConnect(const wchar_t* proxyUser, DWORD& statusOut, DownloadContext& context,
                   SOCKET s, const wchar_t* authority);
