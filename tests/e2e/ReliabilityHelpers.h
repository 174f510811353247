#pragma once
// Small helpers shared by the reliability tests: files in the installation
// and on the upgrade server, upgrade lists, and looking at the supervisor
// from outside (its windows, handles and memory).
#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <algorithm>
#include <vector>

#include "tools/driver/E2eSupport.h"

namespace rel {

constexpr UINT WM_SV_QUIT = 1850;
constexpr UINT WM_SV_TRAY = 1870;
constexpr UINT kTrayIconId = 128;
constexpr UINT_PTR kCheckTimerId = 12;

inline std::string ReadFileBytes(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    if (!in) return "<missing>";
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// The nginx document root, from scripts/test (a Unix path; Wine maps / to Z:).
inline std::wstring WwwPath(const std::string& relative) {
    const char* root = std::getenv("QS_WWW");
    std::string path = std::string("Z:") + (root ? root : "") + "/" + relative;
    for (char& c : path) c = c == '/' ? '\\' : c;
    return Widen(path);
}

inline size_t AccessLogLines() {
    const char* log = std::getenv("QS_NGINX_LOG");
    if (!log) return 0;
    std::string text = ReadFileBytes(Widen(std::string("Z:") + log));
    size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

inline std::string ListOf(const std::vector<std::string>& entries) {
    std::string text = "<UpgradeXml>\r\n";
    for (size_t i = 0; i < entries.size(); ++i) {
        char tag[32];
        std::snprintf(tag, sizeof tag, "File_Name%02zu", i + 1);
        text += std::string("  <") + tag + ">" + entries[i] + "</" + tag + ">\r\n";
    }
    return text + "</UpgradeXml>\r\n";
}

// The upgrade window: the supervisor's borderless 320 x 78 dialog.
inline HWND UpgradeWindow(DWORD pid) {
    struct Q {
        DWORD pid;
        HWND found;
    } q = {pid, nullptr};
    EnumWindows(
        [](HWND h, LPARAM p) -> BOOL {
            auto* q = reinterpret_cast<Q*>(p);
            DWORD owner = 0;
            GetWindowThreadProcessId(h, &owner);
            RECT rc;
            GetWindowRect(h, &rc);
            if (owner == q->pid && IsWindowVisible(h) && rc.right - rc.left == 320 && rc.bottom - rc.top == 78) {
                q->found = h;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&q));
    return q.found;
}

// True when the supervisor's UI thread handles a message within the limit.
inline bool UiResponds(HWND w, UINT limitMs = 2000) {
    DWORD_PTR result = 0;
    return w && SendMessageTimeoutW(w, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, limitMs, &result) != 0;
}

// Opens the tray menu as a right click would, and closes it again.
inline bool TrayMenuOpens(HWND w) {
    PostMessageW(w, WM_SV_TRAY, kTrayIconId, WM_RBUTTONDOWN);
    HWND menu = nullptr;
    bool open = e2e::WaitFor(
        [&] {
            menu = FindWindowW(L"#32768", nullptr);
            return menu && IsWindowVisible(menu);
        },
        std::chrono::seconds(3));
    if (menu) {
        PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        e2e::WaitFor([&] { return !IsWindowVisible(menu); }, std::chrono::seconds(3));
    }
    return open;
}

struct Footprint {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
    SIZE_T workingSet = 0;
};

// Handles the process holds, from the system's handle table when the direct
// question gets no answer (Wine answers GetProcessHandleCount with 0 for
// other processes).
inline DWORD HandleCountOf(HANDLE process) {
    DWORD n = 0;
    if (GetProcessHandleCount(process, &n) && n > 0) return n;
    struct Entry {
        ULONG pid;
        UCHAR type;
        UCHAR flags;
        USHORT handle;
        PVOID object;
        ACCESS_MASK access;
    };
    struct Table {
        ULONG count;
        Entry entries[1];
    };
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<Query>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return 0;
    std::vector<char> buf(1 << 20);
    ULONG needed = 0;
    for (int i = 0; i < 6; ++i) {
        LONG status = query(16 /* SystemHandleInformation */, buf.data(), static_cast<ULONG>(buf.size()), &needed);
        if (status == 0) break;
        buf.assign(std::max<size_t>(buf.size() * 2, needed + 65536), '\0');
        if (i == 5) return 0;
    }
    const Table* table = reinterpret_cast<const Table*>(buf.data());
    const DWORD pid = GetProcessId(process);
    for (ULONG i = 0; i < table->count; ++i) n += table->entries[i].pid == pid;
    return n;
}

inline Footprint FootprintOf(HANDLE process) {
    Footprint f;
    f.handles = HandleCountOf(process);
    PROCESS_MEMORY_COUNTERS_EX pmc = {};
    pmc.cb = sizeof pmc;
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof pmc)) {
        // Wine leaves the private bytes of another process at 0; the
        // committed size is the nearest it reports.
        f.privateBytes = pmc.PrivateUsage ? pmc.PrivateUsage : pmc.PagefileUsage;
        f.workingSet = pmc.WorkingSetSize;
    }
    return f;
}

// An installation with the supervisor's current folder "app" (where upgrades
// install), files served by nginx, and the list the stand-in offers.
class UpgradeFixture : public ::testing::Test {
protected:
    // `build`: another build of the supervisor (see e2e::Install).
    explicit UpgradeFixture(const std::wstring& build = L"") : install(true, build) {}
    void SetUp() override {
        ASSERT_NE(std::getenv("QS_WWW"), nullptr) << "run through scripts/test, which starts nginx";
        app = install.Path(L"app");
        CreateDirectoryW(app.c_str(), nullptr);
        CreateDirectoryW(WwwPath("upgrade").c_str(), nullptr);
    }
    void StartSupervisor() {
        for (DWORD pid : e2e::StandInStarts(install)) e2e::KillProcess(pid);
        size_t before = e2e::StandInStarts(install).size();
        sup = std::make_unique<e2e::Supervisor>(install, app);
        ASSERT_TRUE(e2e::WaitFor([&] { return sup->Window() && e2e::StandInStarts(install).size() == before + 1; },
                                 std::chrono::seconds(15)));
        ASSERT_TRUE(
            e2e::WaitFor([] { return e2e::StandInCommand("ping").rfind("pid", 0) == 0; }, std::chrono::seconds(10)));
    }
    void Serve(const std::string& name, const std::string& bytes) { WriteFileBytes(WwwPath("upgrade/" + name), bytes); }
    void OfferList(const std::vector<std::string>& entries) {
        WriteFileBytes(install.Path(L"upgrade.xml"), ListOf(entries));
    }
    std::wstring InApp(const std::string& relative) { return app + L"\\" + Widen(relative); }

    e2e::Install install;
    std::wstring app;
    std::unique_ptr<e2e::Supervisor> sup;
};

}  // namespace rel
