// One HTTP/1.0 GET over a raw TCP connection: direct, through an HTTP proxy
// (Basic proxy authentication) or a SOCKS 4 tunnel. The body goes through the
// output file's Write; the header text and the status go back to the driver.
#pragma once

#include "download/common.h"
#include "download/context.h"
#include "download/output_file.h"

#include <string>

TransportResult HttpGetWinsock(std::string& responseHeaders, DownloadContext& context,
                               const wchar_t* url, CGenFile* outputFile, DWORD& statusOut);

// Sets authMode to 1 when a proxy-authenticate line offers Basic, else 2.
void SelectProxyAuthMode(const std::string& responseHeaders, DownloadContext& context);
