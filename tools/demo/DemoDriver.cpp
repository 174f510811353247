// Drives the demo: runs Quillstone with the stand-in Marlowcast in a fresh
// folder and tells, step by step, what the supervisor does. Screenshots go to
// the folder given as the first argument.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "package/UibWriter.h"
#include "res/resource.h"
#include "tools/driver/E2eSupport.h"

#include <thread>

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

void WriteFile(const std::wstring& path, const std::string& bytes) {
    std::ofstream(path.c_str(), std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The nginx document root from scripts/demo (a Unix path; Wine maps / to Z:).
std::wstring Www(const std::string& relative) {
    const char* root = std::getenv("QS_WWW");
    std::string path = std::string("Z:") + (root ? root : "") + "/" + relative;
    for (char& c : path) c = c == '/' ? '\\' : c;
    return std::wstring(path.begin(), path.end());
}

// Puts a plain file and a package on the upgrade server and the list that
// names them beside the stand-in. The plain file trickles, so the progress
// window stays up long enough to be seen.
void PrepareUpgrade(const Install& install) {
    std::string readme = "Marlowcast 2.0 release notes\r\n";
    for (int i = 0; i < 600; ++i) readme += "Line " + std::to_string(i) + " of what is new.\r\n";
    std::string skin;
    for (int i = 0; i < 20000; ++i) skin += "skin-" + std::to_string(i % 97) + ";";
    std::vector<unsigned char> package;
    uib::PackUib(skin.data(), skin.size(), uib::PackOptions{}, &package);
    CreateDirectoryW(Www("upgrade").c_str(), nullptr);
    WriteFile(Www("upgrade/slow-ReleaseNotes.txt"), readme);
    WriteFile(Www("upgrade/skin.dat.uib"), std::string(package.begin(), package.end()));
    WriteFile(install.Path(L"upgrade.xml"),
              "<UpgradeXml>\r\n <File_Name01>slow-ReleaseNotes.txt</File_Name01>\r\n"
              " <File_Name02>skins\\skin.dat.uib</File_Name02>\r\n</UpgradeXml>\r\n");
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

    if (std::getenv("QS_WWW")) {
        PrepareUpgrade(install);
        Say("Marlowcast asks for an upgrade (WM_SV_UPGRADE) and exits once it has served the list...");
        StandInCommand("upgrade");
        std::this_thread::sleep_for(4s);
        Say("Quillstone downloads the files from nginx and shows its progress window.");
        Shot(L"upgrading");
        std::wstring text;
        auto boxShown = [] {
            for (HWND box : MessageBoxes()) {
                if (IsWindowVisible(box)) return true;
            }
            return false;
        };
        if (WaitFor(boxShown, 90s)) {
            std::this_thread::sleep_for(500ms);  // let it paint
            Shot(L"upgrade-result");
            DismissMessageBox(&text, 5s);
            Say("Quillstone reported:", text);
            bool notes = GetFileAttributesW(install.Path(L"slow-ReleaseNotes.txt").c_str()) != INVALID_FILE_ATTRIBUTES;
            bool skin = GetFileAttributesW(install.Path(L"skins\\skin.dat").c_str()) != INVALID_FILE_ATTRIBUTES;
            Say(notes && skin ? "Installed in the supervisor's current folder: slow-ReleaseNotes.txt, and "
                                "skins\\skin.dat decoded from its package."
                              : "The installed files are not all there.");
            size_t starts = StandInStarts(install).size();
            if (WaitFor([&] { return StandInStarts(install).size() > starts; }, 40s)) {
                Say("Supervision resumed and launched the upgraded Marlowcast:", Labels(sup));
            }
        } else {
            Say("The upgrade did not finish in time.");
        }
    }

    Say("Asking Quillstone to exit (as Marlowcast would, with WM_SV_QUIT)...");
    PostMessageW(sup.Window(), 1850, 0, 0);
    Say(sup.Exited(15s) ? "Quillstone removed its tray icon and exited; Marlowcast keeps running."
                        : "Quillstone did not exit in time.");
    WSACleanup();
    return 0;
}
