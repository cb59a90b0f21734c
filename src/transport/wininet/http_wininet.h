// One HTTP GET through the bound WinInet: IE settings or an explicit proxy,
// HTTP or HTTPS, NTLM logon and impersonation for the proxy account.
#pragma once

#include "download/common.h"
#include "download/context.h"
#include "download/output_file.h"

#include <string>

TransportResult HttpGetWininet(DownloadContext& context, const wchar_t* url, CGenFile* outputFile,
                               DWORD& statusOut, std::string& responseHeaders);
