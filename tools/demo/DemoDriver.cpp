// Drives the demo: runs Quillstone with the stand-in Marlowcast in a fresh
// folder and tells, step by step, what the supervisor does. Screenshots go to
// the folder given as the first argument.
#include <cstdio>
#include <string>

#include "res/resource.h"
#include "tests/support/E2eSupport.h"

using namespace e2e;

namespace {

std::wstring g_shots;
int g_step = 0;

void Say(const char* fmt, const std::wstring& detail = L"") {
    std::printf("[demo] %s", fmt);
    if (!detail.empty()) std::printf(" %ls", detail.c_str());
    std::printf("\n");
    std::fflush(stdout);
}

void Shot(const wchar_t* name) {
    if (g_shots.empty()) return;
    std::wstring path = g_shots + L"\\" + std::to_wstring(++g_step) + L"-" + name + L".bmp";
    SaveScreenshot(path);
}

std::wstring Labels(const Supervisor& sup) {
    return L"process " + sup.ItemText(IDC_PROCESS_ID) + L", thread " + sup.ItemText(IDC_THREAD_ID) + L", window " +
           sup.ItemText(IDC_WINDOW_ID) + L", \"" + sup.ItemText(IDC_START_STATUS) + L"\"";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 1) g_shots = argv[1];
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);

    Install install;
    Say("Installed Quillstone.exe and Marlowcast.exe in", install.Folder());
    Supervisor sup(install);
    if (!WaitFor([&] { return StandInStarts(install).size() == 1 && sup.Window() && !IsWindowVisible(sup.Window()); },
                 20s)) {
        Say("Quillstone did not start Marlowcast; giving up.");
        return 1;
    }
    WaitFor([&] { return StandInCommand("ping").rfind("pid", 0) == 0; }, 10s);
    Say("Quillstone started, hid its window in the tray and launched Marlowcast:", Labels(sup));
    Shot(L"supervising");

    Say("Waiting for the first health checks (every 8 s)...");
    WaitFor([&] { return sup.ItemText(IDC_WINDOW_ID) != L"0"; }, 20s);
    Say("The health check found Marlowcast's window:", Labels(sup));

    Say("Making Marlowcast crash...");
    DWORD crashed = StandInStarts(install).back();
    StandInCommand("crash");
    auto t0 = Clock::now();
    if (WaitFor([&] { return StandInStarts(install).size() == 2; }, 40s)) {
        auto s = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - t0).count();
        Say(("Quillstone noticed and launched Marlowcast again after " + std::to_string(s) + " s:").c_str(),
            Labels(sup));
        Say(ProcessRunning(crashed) ? "(the crashed process is still there?)" : "(the crashed process is gone)");
        WaitFor([&] { return StandInCommand("ping").rfind("pid", 0) == 0; }, 10s);
        Shot(L"relaunched");
    } else {
        Say("Marlowcast was not relaunched in time.");
    }

    Say("Asking Quillstone to exit (as Marlowcast would, with WM_SV_QUIT)...");
    PostMessageW(sup.Window(), 1850, 0, 0);
    Say(sup.Exited(15s) ? "Quillstone removed its tray icon and exited; Marlowcast keeps running."
                        : "Quillstone did not exit in time.");
    WSACleanup();
    return 0;
}
