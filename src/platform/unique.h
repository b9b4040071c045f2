// Owners for the Windows resources the tool acquires: each releases its value exactly once,
// through the seam, and only if a value was acquired.
#pragma once

#include "platform/win_api.h"

#include <utility>

namespace tkr {

template <typename Traits> class Unique {
  public:
    using Type = typename Traits::Type;

    Unique() = default;
    explicit Unique(Type value) : value_(value) {}
    Unique(Unique&& other) noexcept : value_(std::exchange(other.value_, Traits::Empty())) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) {
            reset();
            value_ = std::exchange(other.value_, Traits::Empty());
        }
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    ~Unique() { reset(); }

    [[nodiscard]] Type get() const { return value_; }
    explicit operator bool() const { return value_ != Traits::Empty(); }

    // For an out-parameter: releases what is held, then lets the call write the new value.
    [[nodiscard]] Type* put() {
        reset();
        return &value_;
    }

    void reset() {
        if (value_ != Traits::Empty()) {
            Traits::Close(std::exchange(value_, Traits::Empty()));
        }
    }

  private:
    Type value_ = Traits::Empty();
};

struct KeyTraits {
    using Type = HKEY;
    static Type Empty() { return nullptr; }
    static void Close(Type key) { win::RegCloseKey(key); }
};
struct SidTraits {
    using Type = PSID;
    static Type Empty() { return nullptr; }
    static void Close(Type sid) { win::FreeSid(sid); }
};
// Memory the security functions allocate for the caller (ACLs, descriptors, SDDL texts).
template <typename T> struct LocalTraits {
    using Type = T;
    static Type Empty() { return nullptr; }
    static void Close(Type memory) { win::LocalFree(memory); }
};
struct HandleTraits {
    using Type = HANDLE;
    static Type Empty() { return nullptr; }
    static void Close(Type handle) { win::CloseHandle(handle); }
};
// A file handle's empty value is INVALID_HANDLE_VALUE, not null.
struct FileTraits {
    using Type = HANDLE;
    static Type Empty() { return INVALID_HANDLE_VALUE; }
    static void Close(Type handle) { win::CloseHandle(handle); }
};

using UniqueKey = Unique<KeyTraits>;
using UniqueSid = Unique<SidTraits>;
using UniqueAcl = Unique<LocalTraits<PACL>>;
using UniqueDescriptor = Unique<LocalTraits<PSECURITY_DESCRIPTOR>>;
using UniqueLocalText = Unique<LocalTraits<LPWSTR>>;
using UniqueHandle = Unique<HandleTraits>;
using UniqueFile = Unique<FileTraits>;

} // namespace tkr
