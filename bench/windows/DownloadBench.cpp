// How fast the upgrade's DownloadFile stores one file from the upgrade server,
// and how much memory the process needs meanwhile.
//
//   download_bench NAME RUNS BYTES
//
// Fetches <upgrade URL>/upgrade/NAME into the temporary folder RUNS times as
// an upgrade does: the real upgrade window is shown and its thread paints the
// bars while a second thread downloads. Prints one line per run:
//   ok=1 bytes=N seconds=S ws_before_kib=A ws_peak_kib=B
// where bytes is what the download stored, read through the download's own
// handle before it closes (the file is a delete-on-close one, as in an
// upgrade: by name it is gone or empty afterwards), and ws_peak_kib is the
// largest working set sampled every 10 ms during the download. A run that
// failed or stored fewer than BYTES bytes is not a figure: it is reported
// on stderr and the program exits with 1.
#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/StopFlag.h"
#include "ui/UpgradeWnd.h"
#include "upgrade/Download.h"
#include "upgrade/UpgradeJob.h"

namespace {

std::size_t WorkingSetKiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
    return counters.WorkingSetSize / 1024;
}

StopFlag g_running;

struct Run {
    CUpgradeWnd* wnd;
    std::wstring url;
    std::wstring file;
    BOOL ok = FALSE;
    unsigned long long bytes = 0;
    double seconds = 0;
};

DWORD WINAPI Download(LPVOID param) {
    Run& run = *static_cast<Run*>(param);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    UniqueHandle file(CreateFileW(run.file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    run.ok = file && DownloadFile(run.url, run.file, file.Get(), g_running,
                                  [&run](std::uint32_t position) { run.wnd->SetFileProgress(position); });
    QueryPerformanceCounter(&end);
    LARGE_INTEGER stored{};
    run.bytes = file && GetFileSizeEx(file.Get(), &stored) ? static_cast<unsigned long long>(stored.QuadPart) : 0;
    run.seconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    return 0;
}

// Paints the window (the UI thread's part of an upgrade) until the download
// thread ends, sampling the working set every 10 ms.
std::size_t PumpUntil(HANDLE thread) {
    std::size_t peak = 0;
    for (;;) {
        const std::size_t now = WorkingSetKiB();
        if (now > peak) peak = now;
        const DWORD woke = MsgWaitForMultipleObjects(1, &thread, FALSE, 10, QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0) return peak;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: download_bench NAME RUNS BYTES\n");
        return 2;
    }
    const std::string nameAnsi = argv[1];
    const int runs = std::atoi(argv[2]);
    const unsigned long long expected = std::strtoull(argv[3], nullptr, 10);

    g_running.Start();
    CUpgradeWnd wnd;
    if (!wnd.Create(nullptr) || wnd.TempDir().empty()) {
        std::fprintf(stderr, "download_bench: no upgrade window\n");
        return 1;
    }
    wnd.ShowWindow(SW_SHOWNOACTIVATE);
    Run run;
    run.wnd = &wnd;
    const std::wstring name(nameAnsi.begin(), nameAnsi.end());
    run.url = DefaultUpgradeSource().serverUrl + L"/upgrade/" + name;
    run.file = wnd.TempDir() + L"\\" + name + L".tmp";
    const std::wstring& temp = run.file;

    int status = 0;
    for (int i = 0; i < runs; ++i) {
        DeleteFileW(temp.c_str());
        const std::size_t before = WorkingSetKiB();
        HANDLE thread = CreateThread(nullptr, 0, Download, &run, 0, nullptr);
        if (!thread) return 1;
        const std::size_t peak = PumpUntil(thread);
        CloseHandle(thread);

        if (!run.ok || run.bytes == 0 || run.bytes < expected) {
            std::fprintf(stderr, "download_bench: run %d is no figure: ok=%d, %llu of %llu bytes stored\n", i + 1,
                         run.ok ? 1 : 0, run.bytes, expected);
            status = 1;
        }
        std::printf("ok=%d bytes=%llu seconds=%.4f ws_before_kib=%zu ws_peak_kib=%zu\n", run.ok ? 1 : 0, run.bytes,
                    run.seconds, before, peak);
        std::fflush(stdout);
    }
    DeleteFileW(temp.c_str());
    wnd.DestroyWindow();
    return status;
}
