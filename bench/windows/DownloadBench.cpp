// How fast CUpgradeWnd::DownloadFile stores one file from the upgrade server,
// and how much memory the process needs meanwhile.
//
//   download_bench NAME [RUNS]
//
// Fetches <upgrade URL>/upgrade/NAME into the temporary folder RUNS times
// (default 1) with the real upgrade window and its progress bar, and prints
// one line per run:
//   bytes=N seconds=S ws_before_kib=A ws_peak_kib=B
// where ws_peak_kib is the largest working set sampled every 10 ms during the
// download. The downloaded file is removed afterwards.
#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/Globals.h"
#include "ui/UpgradeWnd.h"

namespace {

std::size_t WorkingSetKiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
    return counters.WorkingSetSize / 1024;
}

std::atomic<bool> g_sampling{false};
std::atomic<std::size_t> g_peakKiB{0};

DWORD WINAPI SampleWorkingSet(LPVOID) {
    while (g_sampling.load()) {
        const std::size_t now = WorkingSetKiB();
        if (now > g_peakKiB.load()) g_peakKiB.store(now);
        Sleep(10);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: download_bench NAME [RUNS]\n");
        return 2;
    }
    const std::string nameAnsi = argv[1];
    const std::wstring name(nameAnsi.begin(), nameAnsi.end());
    const int runs = argc > 2 ? std::atoi(argv[2]) : 1;

    g_bRunning = 1;
    CUpgradeWnd wnd;
    if (!wnd.Create(nullptr) || !wnd.HasTempDir()) {
        std::fprintf(stderr, "download_bench: no upgrade window\n");
        return 1;
    }
    const std::wstring temp = std::wstring(wnd.m_szTempDir) + L"\\" + name + L".tmp";

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    int status = 0;
    for (int run = 0; run < runs; ++run) {
        DeleteFileW(temp.c_str());
        const std::size_t before = WorkingSetKiB();
        g_peakKiB = before;
        g_sampling = true;
        HANDLE sampler = CreateThread(nullptr, 0, SampleWorkingSet, nullptr, 0, nullptr);

        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        const BOOL ok = wnd.DownloadFile(name);
        QueryPerformanceCounter(&end);

        g_sampling = false;
        if (sampler) {
            WaitForSingleObject(sampler, INFINITE);
            CloseHandle(sampler);
        }
        WIN32_FILE_ATTRIBUTE_DATA data{};
        GetFileAttributesExW(temp.c_str(), GetFileExInfoStandard, &data);
        const unsigned long long bytes =
            (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
        if (!ok) status = 1;
        std::printf("ok=%d bytes=%llu seconds=%.4f ws_before_kib=%zu ws_peak_kib=%zu\n", ok ? 1 : 0, bytes,
                    seconds, before, g_peakKiB.load());
        std::fflush(stdout);
    }
    DeleteFileW(temp.c_str());
    wnd.DestroyWindow();
    return status;
}
