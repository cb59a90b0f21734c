// The download driver: fetches the built-in address into a local file with up
// to five attempts, redirects, the 407 reaction and pauses; the only entry
// into the download component for the update run.
#pragma once

#include "download/common.h"
#include "download/context.h"

#include <windows.h>

#include <string>

// "http://" + update host + "/files/emupdate/20150209.cab"
extern const wchar_t kDownloadUrl[];

DWORD DownloadFile(DownloadContext& context, const wchar_t* target);
DWORD GetInetFile(DownloadContext& context, const wchar_t* target);
bool CopyFileWithRetry(const wchar_t* destination, const wchar_t* source);
// Each byte becomes the character of the same value; null on no memory.
WideBuffer NarrowToWide(const char* text);

// The address a 302 answer points to, taken from its location line and
// resolved against currentUrl when it begins with "/". False without one.
bool RedirectTarget(const std::string& headers, const std::wstring& currentUrl, std::string& target);
