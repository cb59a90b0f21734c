// Reads the product's own network settings (Setup\setup.ini, section Common)
// into the download context, decoding "b?"-prefixed Base64 passwords.
#pragma once

#include <windows.h>

int LoadProxySettings();
int DecodeNetPassword(const wchar_t* text, wchar_t* clear, int capacity);
// length: capacity of out on entry, decoded bytes on return.
int Base64Decode(const char* text, unsigned char* out, DWORD& length);
