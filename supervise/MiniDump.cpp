// The real dump system: the user's switch in the registry, the folder beside
// the event log, and the system's dump writer on a thread of its own.
#include <windows.h>

#include <dbghelp.h>

#include <memory>

#include "base/EventLog.h"
#include "base/Handles.h"
#include "supervise/Dumps.h"

namespace {

constexpr wchar_t kSettingsKey[] = L"Software\\Quillstone\\Quillstone";

// Threads with their stacks, the modules, unloaded modules, handles; not the
// whole memory (that would be hundreds of megabytes of the user's data).
constexpr MINIDUMP_TYPE kDumpType =
    static_cast<MINIDUMP_TYPE>(MiniDumpWithThreadInfo | MiniDumpWithUnloadedModules | MiniDumpWithHandleData);

using WriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                  PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

// What the dump thread works with: handles of its own, so that a dump given
// up on can go on using them after the supervisor has closed its own (a
// closed handle's value may already name another object). Shared by the
// thread and its waiter; whoever lets go last closes them.
struct DumpJob {
    UniqueHandle process;
    UniqueHandle file;
    DWORD processId = 0;
    bool written = false;
    DWORD error = 0;
};

HANDLE Duplicate(HANDLE handle) {
    HANDLE copy = nullptr;
    return DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)
               ? copy
               : nullptr;
}

DWORD WINAPI DumpThreadProc(LPVOID param) {
    try {
        const std::unique_ptr<std::shared_ptr<DumpJob>> owner(static_cast<std::shared_ptr<DumpJob>*>(param));
        DumpJob& job = **owner;
        // Loaded by this thread and freed by it as it ends, so that nothing of
        // it stays in the supervisor once a dump is done, and a dump given up
        // on still has it for as long as it runs. System32 only: a dbghelp.dll
        // in the folder that upgrades install into is not the system's.
        const ModuleHandle dbghelp(LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
        const auto write = dbghelp ? reinterpret_cast<WriteDumpFn>(reinterpret_cast<void (*)()>(
                                         GetProcAddress(dbghelp.Get(), "MiniDumpWriteDump")))
                                   : nullptr;
        job.written = write && write(job.process.Get(), job.processId, job.file.Get(), kDumpType, nullptr, nullptr,
                                     nullptr) != FALSE;
        if (!job.written) job.error = GetLastError();
    } catch (...) {
        // Nothing may unwind out of a thread.
    }
    return 0;
}

// The name goes as soon as the last handle to the file closes, the dump
// thread's included.
void RemoveWhenClosed(HANDLE file) {
    FILE_DISPOSITION_INFO remove = {TRUE};
    SetFileInformationByHandle(file, FileDispositionInfo, &remove, sizeof remove);
}

// DbgHelp's functions are not safe to call from two threads at once, and a
// dump given up on may still be inside MiniDumpWriteDump: the next dump waits
// until that thread has ended. Owned by the dump system's writer.
struct DumpWriter {
    UniqueHandle lastThread;

    DumpResult Write(HANDLE process, DWORD processId, const std::wstring& path, DWORD limitMs,
                     const StopFlag& running) {
        DumpResult result;
        if (lastThread && WaitForSingleObject(lastThread.Get(), 0) == WAIT_TIMEOUT) {
            result.outcome = DumpResult::kBusy;
            return result;
        }
        lastThread.Reset();
        const ULONGLONG started = GetTickCount64();
        // The folder, and Quillstone's own above it when no log has made it.
        const std::wstring folder = path.substr(0, path.rfind(L'\\'));
        CreateDirectoryW(folder.substr(0, folder.rfind(L'\\')).c_str(), nullptr);
        CreateDirectoryW(folder.c_str(), nullptr);
        UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            result.error = GetLastError();
            return result;
        }

        auto job = std::make_shared<DumpJob>();
        job->process.Reset(Duplicate(process));
        job->file.Reset(Duplicate(file.Get()));
        job->processId = processId;
        auto* param = new std::shared_ptr<DumpJob>(job);
        UniqueHandle thread(job->process && job->file ? CreateThread(nullptr, 0, DumpThreadProc, param, 0, nullptr)
                                                      : nullptr);
        if (!thread) {
            result.error = GetLastError();
            delete param;
            RemoveWhenClosed(file.Get());
            return result;
        }

        // Polled, so that an exit does not wait out the dump.
        DWORD waited = WAIT_TIMEOUT;
        while (waited == WAIT_TIMEOUT && running.IsRunning() && GetTickCount64() - started < limitMs) {
            waited = WaitForSingleObject(thread.Get(), 50);
        }
        result.ms = GetTickCount64() - started;
        if (waited != WAIT_OBJECT_0) {
            // Given up: the kill goes on, and the thread ends soon after it
            // (the process it reads is gone), closing its handle to the file.
            RemoveWhenClosed(file.Get());
            lastThread = std::move(thread);
            result.outcome = running.IsRunning() ? DumpResult::kTimedOut : DumpResult::kStopped;
            return result;
        }
        // The thread has ended: what it wrote into the job is there to read.
        LARGE_INTEGER size = {};
        if (!job->written || !GetFileSizeEx(file.Get(), &size)) {
            result.error = job->written ? GetLastError() : job->error;
            RemoveWhenClosed(file.Get());
            return result;
        }
        result.outcome = DumpResult::kWritten;
        result.size = static_cast<ULONGLONG>(size.QuadPart);
        return result;
    }
};

}  // namespace

DumpSystem RealDumpSystem(const StopFlag& running) {
    DumpSystem system;
    system.enabled = [] {
        DWORD value = 1;
        DWORD size = sizeof value;
        return RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, L"Dumps", RRF_RT_REG_DWORD, nullptr, &value, &size) !=
                   ERROR_SUCCESS ||
               value != 0;
    };
    // Beside the event log: %LOCALAPPDATA%\Quillstone\Dumps.
    system.folder = [] {
        const std::wstring log = EventLogPath();
        return log.empty() ? log : log.substr(0, log.rfind(L'\\')) + L"\\Dumps";
    };
    system.list = [](const std::wstring& folder) {
        std::vector<DumpFile> files;
        WIN32_FIND_DATAW found;
        FindHandle search(FindFirstFileW((folder + L"\\*.dmp").c_str(), &found));
        for (bool more = search.Found(); more; more = FindNextFileW(search.Get(), &found) != FALSE) {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            files.push_back({found.cFileName, (static_cast<ULONGLONG>(found.nFileSizeHigh) << 32) | found.nFileSizeLow,
                             (static_cast<ULONGLONG>(found.ftLastWriteTime.dwHighDateTime) << 32) |
                                 found.ftLastWriteTime.dwLowDateTime});
        }
        return files;
    };
    system.remove = [](const std::wstring& path) { return DeleteFileW(path.c_str()) != FALSE; };
    system.now = [] {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    };
    auto writer = std::make_shared<DumpWriter>();
    system.write = [writer, &running](HANDLE process, DWORD processId, const std::wstring& path, DWORD limitMs) {
        return writer->Write(process, processId, path, limitMs, running);
    };
    return system;
}
