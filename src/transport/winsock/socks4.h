// SOCKS 4 CONNECT on a freshly connected socket, before any HTTP byte: the
// request carries the destination's IPv4 address (resolved here, never the
// name) and the proxy user name as user id; the password is never sent.
// Used by HttpGetWinsock in proxy mode 3. The request bytes and the reply
// check are plain functions below, apart from the socket calls.
#pragma once

#include "download/context.h"

#include <winsock2.h>

#include <cstddef>
#include <string>

constexpr unsigned char kSocks4Version = 4;
constexpr unsigned char kSocks4Connect = 1;
constexpr unsigned char kSocks4Granted = 90;    // 0x5A; anything else is a refusal
constexpr int kSocks4ReplySize = 8;
constexpr std::size_t kSocks4FixedSize = 9;     // request without the user id's bytes
constexpr u_short kSocks4DefaultPort = 80;      // also for https: the tunnel carries plain HTTP

// 0 tunnel open; 3 refused (status = reply code); 8 no memory for the
// request; 1 with status 11001 (WSAHOST_NOT_FOUND) when the destination host
// does not resolve, found before anything is sent. Network failures raise a
// DWORD (kErrPeerClosedEarly when the proxy closes before its 8 reply bytes),
// a cancel raises UserAbort.
DWORD SocksConnect(const wchar_t* proxyUser, DWORD& statusOut, DownloadContext& context,
                   SOCKET s, const wchar_t* authority);

struct SocksDestination {
    std::wstring host;  // authority up to its first ':'
    u_short port = kSocks4DefaultPort;
};
// Port: the number after the first ':', low 16 bits; 80 when absent or 0.
// Raises only std::bad_alloc.
SocksDestination SplitSocksDestination(const wchar_t* authority);

// Fills kSocks4FixedSize + userIdLength bytes at out. address is in network
// byte order, as the resolver gives it.
void FillSocks4ConnectRequest(unsigned char* out, u_short port, u_long address,
                              const char* userId, std::size_t userIdLength);
// reply holds kSocks4ReplySize bytes; VN is not examined.
inline bool Socks4Granted(const unsigned char* reply) { return reply[1] == kSocks4Granted; }
