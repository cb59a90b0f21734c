// One move-only owner for every handle kind: a traits class says how to close
// and which value means "none". Closing preserves GetLastError(), because the
// codes the program reports are read after clean-up.
#pragma once

#include <windows.h>

#include <utility>

template <typename Traits>
class UniqueAny {
public:
    using Type = typename Traits::Type;
    UniqueAny() noexcept : value_(Traits::None()) {}
    explicit UniqueAny(Type value) noexcept : value_(value) {}
    UniqueAny(UniqueAny&& other) noexcept : value_(other.Release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    ~UniqueAny() { Reset(); }

    Type Get() const noexcept { return value_; }
    bool Valid() const noexcept { return value_ != Traits::None(); }
    explicit operator bool() const noexcept { return Valid(); }
    Type Release() noexcept { return std::exchange(value_, Traits::None()); }
    void Reset(Type value = Traits::None()) noexcept {
        if (Valid()) {
            DWORD saved = GetLastError();
            Traits::Close(value_);
            SetLastError(saved);
        }
        value_ = value;
    }

private:
    Type value_;
};

struct HandleTraits {
    using Type = HANDLE;
    static Type None() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { CloseHandle(h); }
};
struct NullableHandleTraits {  // handles whose "none" is null (tokens, ...)
    using Type = HANDLE;
    static Type None() { return nullptr; }
    static void Close(Type h) { CloseHandle(h); }
};
struct FindHandleTraits {
    using Type = HANDLE;
    static Type None() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { FindClose(h); }
};
struct ModuleTraits {
    using Type = HMODULE;
    static Type None() { return nullptr; }
    static void Close(Type h) { FreeLibrary(h); }
};
struct RegKeyTraits {
    using Type = HKEY;
    static Type None() { return nullptr; }
    static void Close(Type h) { RegCloseKey(h); }
};

using UniqueHandle = UniqueAny<HandleTraits>;
using UniqueNullableHandle = UniqueAny<NullableHandleTraits>;
using UniqueFindHandle = UniqueAny<FindHandleTraits>;
using UniqueModule = UniqueAny<ModuleTraits>;
using UniqueRegKey = UniqueAny<RegKeyTraits>;
