#pragma once
// Owners of kernel objects. Each releases its handle on every path; nothing
// else in the program calls CloseHandle, FreeLibrary or FindClose.

#include <windows.h>

#include <utility>

// A kernel handle closed with CloseHandle: thread, event, mutex, process, file.
// INVALID_HANDLE_VALUE (a failed CreateFileW) is held as null.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : m_h(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : m_h(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE Get() const { return m_h; }
    explicit operator bool() const { return m_h != nullptr; }
    HANDLE Release() { return std::exchange(m_h, nullptr); }
    void Reset(HANDLE h = nullptr) {
        if (m_h) ::CloseHandle(m_h);
        m_h = h == INVALID_HANDLE_VALUE ? nullptr : h;
    }

private:
    HANDLE m_h = nullptr;
};

// A process we started: its process and thread handles, and their ids. The
// ids outlive the handles, so a failed relaunch still knows the last ones.
class ProcessHandles {
public:
    ProcessHandles() = default;
    // Takes over both handles.
    void Adopt(const PROCESS_INFORMATION& pi) {
        m_process.Reset(pi.hProcess);
        m_thread.Reset(pi.hThread);
        m_processId = pi.dwProcessId;
        m_threadId = pi.dwThreadId;
    }
    // Lets go of the process: its handles are closed, the ids stay.
    void CloseHandles() {
        m_process.Reset();
        m_thread.Reset();
    }

    HANDLE Process() const { return m_process.Get(); }
    HANDLE Thread() const { return m_thread.Get(); }
    DWORD ProcessId() const { return m_processId; }
    DWORD ThreadId() const { return m_threadId; }

private:
    UniqueHandle m_process;
    UniqueHandle m_thread;
    DWORD m_processId = 0;
    DWORD m_threadId = 0;
};

// A loaded library, freed with FreeLibrary.
class ModuleHandle {
public:
    ModuleHandle() = default;
    explicit ModuleHandle(HMODULE h) : m_h(h) {}
    ~ModuleHandle() { Reset(); }
    ModuleHandle(const ModuleHandle&) = delete;
    ModuleHandle& operator=(const ModuleHandle&) = delete;

    HMODULE Get() const { return m_h; }
    explicit operator bool() const { return m_h != nullptr; }
    void Reset(HMODULE h = nullptr) {
        if (m_h) ::FreeLibrary(m_h);
        m_h = h;
    }

private:
    HMODULE m_h = nullptr;
};

// A directory search, ended with FindClose.
class FindHandle {
public:
    explicit FindHandle(HANDLE h) : m_h(h) {}
    ~FindHandle() {
        if (m_h != INVALID_HANDLE_VALUE) ::FindClose(m_h);
    }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;

    bool Found() const { return m_h != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_h; }

private:
    HANDLE m_h;
};
