// One HTTP/1.0 GET over a raw TCP connection: direct, through an HTTP proxy
// (Basic proxy authentication) or a SOCKS 4 tunnel. Called by the download
// driver for one attempt; the body goes through the output file's Write,
// the header text (as received) and the status go back to the driver. The
// attempt owns its socket and closes it before returning.
#pragma once

#include "download/common.h"
#include "download/context.h"
#include "download/output_file.h"

#include <string>

// Never raises. outputFile may be null: the body is then read and dropped.
// A 2xx answer whose announced Content-Length did not arrive in full is a
// transient failure (2) with status kErrPeerClosedEarly.
TransportResult HttpGetWinsock(std::string& responseHeaders, DownloadContext& context,
                               const wchar_t* url, CGenFile* outputFile, DWORD& statusOut);

// Sets authMode to 1 when a proxy-authenticate line offers Basic, else 2.
void SelectProxyAuthMode(const std::string& responseHeaders, DownloadContext& context);
