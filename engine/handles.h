// Tiny owners for the platform handles the engine opens, so that every path
// out of a function closes them.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <utility>

// A kernel handle from CreateFileW and friends. Both NULL and
// INVALID_HANDLE_VALUE mean "none", because the APIs disagree on which
// one signals failure.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    FileHandle(FileHandle &&other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    FileHandle &operator=(FileHandle &&other) noexcept
    {
        if (this != &other) reset(std::exchange(other.handle_, nullptr));
        return *this;
    }
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;
    ~FileHandle() { reset(); }

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ && handle_ != INVALID_HANDLE_VALUE; }

    // Closes the held handle (when valid) and takes another.
    void reset(HANDLE handle = nullptr)
    {
        if (*this) CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

// A WinHTTP session, connection or request handle.
class InternetHandle {
public:
    InternetHandle() = default;
    explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
    InternetHandle(InternetHandle &&other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    InternetHandle &operator=(InternetHandle &&other) noexcept
    {
        if (this != &other) reset(std::exchange(other.handle_, nullptr));
        return *this;
    }
    InternetHandle(const InternetHandle &) = delete;
    InternetHandle &operator=(const InternetHandle &) = delete;
    ~InternetHandle() { reset(); }

    HINTERNET get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

    // Closes the held handle (when any) and takes another.
    void reset(HINTERNET handle = nullptr)
    {
        if (handle_) WinHttpCloseHandle(handle_);
        handle_ = handle;
    }

private:
    HINTERNET handle_ = nullptr;
};

// A registry key opened or created by this program.
class RegKey {
public:
    RegKey() = default;
    RegKey(const RegKey &) = delete;
    RegKey &operator=(const RegKey &) = delete;
    ~RegKey() { if (key_) RegCloseKey(key_); }

    HKEY get() const { return key_; }
    // For the out parameter of RegCreateKeyExW or RegOpenKeyExW; only on an
    // empty owner.
    HKEY *out() { return &key_; }

private:
    HKEY key_ = nullptr;
};

// One reference to a COM interface, released when the owner goes.
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(const ComPtr &) = delete;
    ComPtr &operator=(const ComPtr &) = delete;
    ~ComPtr() { if (ptr_) ptr_->Release(); }

    T *get() const { return ptr_; }
    T *operator->() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    // For the void** out parameter of CoCreateInstance or QueryInterface;
    // only on an empty owner.
    void **out() { return reinterpret_cast<void **>(&ptr_); }

private:
    T *ptr_ = nullptr;
};

// A Win32 slim lock, for handing work between threads (a transfer's chunks,
// downloads to flush): under Wine this lock and its condition variable wait
// in the kernel, where the C++ library's mutex and condition variable of
// this toolchain cost round trips to the wineserver and cut a download's
// speed several times.
class SlimLock {
public:
    void lock() { AcquireSRWLockExclusive(&lock_); }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }
    SRWLOCK *get() { return &lock_; }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};
