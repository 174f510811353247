// How one file of a signed release comes, as an upgrade fetches it: its block
// map, the pieces kept from an earlier upgrade and those the installed file
// holds, and the rest from the server, each piece checked; then the whole
// file checked against the manifest.
//
//   fetch_bench URL MANIFEST ENTRY INSTALL_FOLDER USER_FOLDER
//
// URL is the server's base (files under URL/upgrade/), MANIFEST the path of
// the release's Quillstone.manifest (read, not checked: the benchmark is not
// about signatures), ENTRY the file as the list names it, INSTALL_FOLDER where
// the installed files are read, USER_FOLDER where the event log and the kept
// downloads go (its Downloads folder). Prints one line:
//   ok=1 seconds=S ws_before_kib=A ws_peak_kib=B
// where ws_peak_kib is the largest working set sampled every 10 ms meanwhile.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "base/AnsiText.h"
#include "base/AwakeClock.h"
#include "base/EventLog.h"
#include "upgrade/SignedDownload.h"

namespace {

std::size_t WorkingSetKiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
    return counters.WorkingSetSize / 1024;
}

struct Run {
    UpgradeEntry entry;
    ManifestFile listed;
    SignedDownloadContext context;
    std::wstring path;
    bool ok = false;
};

DWORD WINAPI Fetch(LPVOID param) {
    Run& run = *static_cast<Run*>(param);
    bool decoded = false;
    const std::unique_ptr<TempFile> file = FetchSignedFile(run.entry, run.listed, run.path, run.context, &decoded);
    run.ok = file != nullptr;
    // As after an upgrade that installed it: nothing of it is kept.
    if (file) file->Discard();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: fetch_bench URL MANIFEST ENTRY INSTALL_FOLDER USER_FOLDER\n");
        return 2;
    }
    std::ifstream in(argv[2], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    Manifest manifest;
    const ManifestFile* listed = ParseManifest(text.str(), &manifest) ? FindInManifest(manifest, argv[3]) : nullptr;
    if (!listed) {
        std::fprintf(stderr, "fetch_bench: %s lists no %s\n", argv[2], argv[3]);
        return 2;
    }
    const std::wstring user = FromUtf8(argv[5]);
    CreateDirectoryW(user.c_str(), nullptr);
    SetEventLogFolder(user.c_str());
    StopFlag running;
    running.Start();

    Run run;
    run.entry = MakeUpgradeEntry(argv[3]);
    run.listed = *listed;
    run.context = SignedDownloadContext{FromUtf8(argv[1]),    FromUtf8(argv[4]), &running,
                                        [](std::uint32_t) {}, VolumeFreeSpace,   AwakeMilliseconds};
    run.path = user + L"\\" + run.entry.namePart + L".tmp";
    const std::size_t before = WorkingSetKiB();
    std::size_t peak = before;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    HANDLE thread = CreateThread(nullptr, 0, Fetch, &run, 0, nullptr);
    if (!thread) return 1;
    while (WaitForSingleObject(thread, 10) == WAIT_TIMEOUT) {
        const std::size_t now = WorkingSetKiB();
        if (now > peak) peak = now;
    }
    CloseHandle(thread);
    QueryPerformanceCounter(&end);
    std::printf("ok=%d seconds=%.4f ws_before_kib=%zu ws_peak_kib=%zu\n", run.ok ? 1 : 0,
                static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart), before,
                peak);
    return run.ok ? 0 : 1;
}
