// Text conversions shared by the download component and the update driver.
#include "download/common.h"

#include <cwchar>

NarrowBuffer WideToNarrow(const wchar_t* text) {
    if (!text) return nullptr;
    size_t length = std::wcslen(text);
    NarrowBuffer out(static_cast<char*>(std::calloc(length + 1, 1)));
    if (!out) return nullptr;
    for (size_t i = 0; i < length && text[i] < 256; ++i) out[i] = static_cast<char>(text[i]);
    return out;
}
