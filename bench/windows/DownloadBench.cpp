// How fast the upgrade's DownloadFile stores one file from the upgrade server,
// and how much memory the process needs meanwhile.
//
//   download_bench NAME [RUNS]
//
// Fetches <upgrade URL>/upgrade/NAME into the temporary folder RUNS times
// (default 1) as an upgrade does: the real upgrade window is shown and its
// thread paints the bars while a second thread downloads. Prints one line per
// run:
//   ok=1 bytes=N seconds=S ws_before_kib=A ws_peak_kib=B
// where ws_peak_kib is the largest working set sampled every 10 ms during the
// download. The downloaded file is removed afterwards.
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
    if (argc < 2) {
        std::fprintf(stderr, "usage: download_bench NAME [RUNS]\n");
        return 2;
    }
    const std::string nameAnsi = argv[1];
    const int runs = argc > 2 ? std::atoi(argv[2]) : 1;

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

        WIN32_FILE_ATTRIBUTE_DATA data{};
        GetFileAttributesExW(temp.c_str(), GetFileExInfoStandard, &data);
        const unsigned long long bytes =
            (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        if (!run.ok) status = 1;
        std::printf("ok=%d bytes=%llu seconds=%.4f ws_before_kib=%zu ws_peak_kib=%zu\n", run.ok ? 1 : 0, bytes,
                    run.seconds, before, peak);
        std::fflush(stdout);
    }
    DeleteFileW(temp.c_str());
    wnd.DestroyWindow();
    return status;
}
