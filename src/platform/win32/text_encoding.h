// UTF-8 inside, UTF-16 at every call of the wide-character Win32 API.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace pvd::win32 {

std::wstring Wide(std::string_view utf8);
std::string Utf8(std::wstring_view wide);
// The system's message for an error code, with the code.
std::string ErrorText(DWORD code);

// A kernel handle closed when it goes out of scope.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() { reset(); }
    Handle(Handle&& o) noexcept : h_(o.release()) {}
    Handle& operator=(Handle&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    HANDLE release() {
        HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return h;
    }
    void reset(HANDLE h = INVALID_HANDLE_VALUE) {
        if (valid()) CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// FILETIME (100 ns since 1601) as nanoseconds since the Unix epoch.
std::int64_t FileTimeToUnixNs(const FILETIME& ft);
std::int64_t FileTimeToUnixNs(std::int64_t ticks);

}  // namespace pvd::win32
