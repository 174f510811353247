#include "tools/driver/E2eSupport.h"

#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "base/EventLog.h"

namespace e2e {

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit, std::chrono::milliseconds step) {
    auto end = Clock::now() + limit;
    for (;;) {
        if (pred()) return true;
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(step);
    }
}

std::wstring BinFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.rfind(L'\\'));
}

static void RemoveTree(const std::wstring& folder) {
    std::wstring from = folder + L'\0';  // double-terminated list
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
    SHFileOperationW(&op);
}

// Supervisors and stand-ins left over from an earlier run would hold the
// port, the mutexes and the control connection.
static void KillStrayProcesses() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32W pe = {};
    pe.dwSize = sizeof pe;
    for (BOOL ok = Process32FirstW(snap, &pe); ok; ok = Process32NextW(snap, &pe)) {
        if (_wcsicmp(pe.szExeFile, L"Marlowcast.exe") == 0 || _wcsicmp(pe.szExeFile, L"Quillstone.exe") == 0) {
            KillProcess(pe.th32ProcessID);
        }
    }
    CloseHandle(snap);
}

Install::Install(bool withStandIn, const std::wstring& build) {
    KillStrayProcesses();
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    static int serial = 0;
    m_folder =
        std::wstring(temp) + L"qs-e2e-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial);
    RemoveTree(m_folder);
    CreateDirectoryW(m_folder.c_str(), nullptr);
    const std::wstring from = build.empty() ? BinFolder() : BinFolder() + L"\\" + build;
    CopyFileW((from + L"\\Quillstone.exe").c_str(), Path(L"Quillstone.exe").c_str(), FALSE);
    if (withStandIn) {
        CopyFileW((BinFolder() + L"\\Marlowcast.exe").c_str(), Path(L"Marlowcast.exe").c_str(), FALSE);
    }
}

Install::~Install() {
    for (DWORD pid : StandInStarts(*this)) KillProcess(pid);
    RemoveTree(m_folder);
}

std::vector<StandInEvent> ReadStandInLog(const Install& install) {
    std::vector<StandInEvent> events;
    FILE* f = _wfopen(install.Path(L"Marlowcast.log").c_str(), L"rb");
    if (!f) return events;
    char line[1024];
    while (fgets(line, sizeof line, f)) {
        StandInEvent e = {};
        char* rest = nullptr;
        e.pid = std::strtoul(line, &rest, 10);
        if (rest && *rest == ' ') ++rest;
        e.text = rest ? rest : "";
        while (!e.text.empty() && (e.text.back() == '\n' || e.text.back() == '\r')) e.text.pop_back();
        events.push_back(e);
    }
    fclose(f);
    return events;
}

std::vector<DWORD> StandInStarts(const Install& install) {
    std::vector<DWORD> pids;
    for (const StandInEvent& e : ReadStandInLog(install)) {
        if (e.text.rfind("start ", 0) == 0) pids.push_back(e.pid);
    }
    return pids;
}

std::string StandInCommand(const std::string& command) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return "";
    DWORD timeout = 3000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(50919);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        std::string line = command + "\n";
        send(s, line.data(), static_cast<int>(line.size()), 0);
        char buf[256];
        int n;
        while ((n = recv(s, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
    }
    closesocket(s);
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
    return reply;
}

// The current environment plus extra NAME=VALUE entries, as a block.
// Our environment with `extra` ("NAME=value") added; a variable named there
// replaces ours (a block with the name twice would leave the first one seen).
static std::wstring EnvironmentBlock(const std::vector<std::wstring>& extra) {
    const auto replaced = [&extra](const wchar_t* variable) {
        for (const std::wstring& e : extra) {
            const std::size_t name = e.find(L'=') + 1;
            if (_wcsnicmp(variable, e.c_str(), name) == 0) return true;
        }
        return false;
    };
    std::wstring block;
    wchar_t* env = GetEnvironmentStringsW();
    for (const wchar_t* p = env; *p; p += wcslen(p) + 1) {
        if (!replaced(p)) block.append(p).push_back(L'\0');
    }
    FreeEnvironmentStringsW(env);
    for (const std::wstring& e : extra) block.append(e).push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

Supervisor::Supervisor(const Install& install, const std::wstring& currentFolder,
                       const std::vector<std::wstring>& extraEnv, const std::wstring& arguments)
    : m_install(install) {
    std::wstring exe = install.Path(L"Quillstone.exe");
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
    std::wstring cwd = currentFolder.empty() ? install.Folder() : currentFolder;
    std::wstring env = EnvironmentBlock(extraEnv);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, env.data(),
                        cwd.c_str(), &si, &m_pi)) {
        m_pi = {};
    }
}

Supervisor::~Supervisor() {
    if (!m_pi.hProcess) return;
    if (!Exited(0ms)) {
        // Ask politely first, so the tray icon goes too; then make sure.
        if (HWND w = Window()) PostMessageW(w, 1850, 0, 0);
        if (!Exited(15s)) TerminateProcess(m_pi.hProcess, 1);
        WaitForSingleObject(m_pi.hProcess, 5000);
    }
    for (HWND box : MessageBoxes()) PressOk(box);
    CloseHandle(m_pi.hProcess);
    CloseHandle(m_pi.hThread);
}

bool Supervisor::Exited(std::chrono::milliseconds limit) const {
    return WaitForSingleObject(m_pi.hProcess, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
}

DWORD Supervisor::ExitCode() const {
    DWORD code = 0;
    GetExitCodeProcess(m_pi.hProcess, &code);
    return code;
}

namespace {
struct WindowQuery {
    DWORD pid;
    const wchar_t* caption;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindows(HWND hWnd, LPARAM lParam) {
    auto* q = reinterpret_cast<WindowQuery*>(lParam);
    wchar_t cls[64] = {}, text[256] = {};
    GetClassNameW(hWnd, cls, 64);
    // Never sends a message: a window of a busy thread of this process would
    // otherwise block the search.
    InternalGetWindowText(hWnd, text, 256);
    DWORD pid = 0;
    GetWindowThreadProcessId(hWnd, &pid);
    if (wcscmp(cls, L"#32770") == 0 && wcscmp(text, q->caption) == 0 && (q->pid == 0 || q->pid == pid)) {
        q->found.push_back(hWnd);
    }
    return TRUE;
}
}  // namespace

HWND Supervisor::Window() const {
    WindowQuery q = {m_pi.dwProcessId, L"Quillstone for Marlowcast", {}};
    EnumWindows(CollectWindows, reinterpret_cast<LPARAM>(&q));
    return q.found.empty() ? nullptr : q.found.front();
}

std::wstring Supervisor::ItemText(int id) const {
    wchar_t text[256] = {};
    GetDlgItemTextW(Window(), id, text, 256);
    return text;
}

bool WaitUntilSupervising(const Supervisor& sup, const Install& install, size_t starts) {
    return sup.Started() && WaitFor([&] { return sup.Window() && !IsWindowVisible(sup.Window()); }, 15s) &&
           WaitFor([&] { return StandInStarts(install).size() == starts; }, 15s) &&
           WaitFor([] { return StandInCommand("ping").rfind("pid ", 0) == 0; }, 10s);
}

std::vector<HWND> MessageBoxes(const std::wstring& caption) {
    WindowQuery q = {0, caption.c_str(), {}};
    EnumWindows(CollectWindows, reinterpret_cast<LPARAM>(&q));
    return q.found;
}

std::wstring MessageBoxText(HWND box) {
    wchar_t text[512] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 512);
    return text;
}

void PressOk(HWND box) {
    HWND ok = GetDlgItem(box, IDOK);
    if (ok) {
        SendMessageTimeoutW(ok, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 2000, nullptr);
    } else {
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
}

bool DismissMessageBox(std::wstring* text, std::chrono::milliseconds limit, const std::wstring& caption) {
    HWND box = nullptr;
    bool found = WaitFor(
        [&] {
            auto boxes = MessageBoxes(caption);
            for (HWND b : boxes) {
                if (IsWindowVisible(b)) box = b;
            }
            return box != nullptr;
        },
        limit);
    if (!found) return false;
    if (text) *text = MessageBoxText(box);
    // A click that arrives while the box is still being shown can be lost;
    // the OK command itself is what the box acts on, so send that as well.
    PressOk(box);
    if (WaitFor([&] { return !IsWindow(box); }, 2s)) return true;
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    return WaitFor([&] { return !IsWindow(box); }, 10s);
}

namespace {

unsigned long long FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string ReadFrom(const std::wstring& path, unsigned long long offset) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    if (!in) return std::string();
    in.seekg(static_cast<std::streamoff>(offset));
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

EventLogReader::EventLogReader() : m_path(EventLogPath()), m_mark(FileSize(m_path)) {}

std::string EventLogReader::Dump() const {
    // A smaller file than at the mark was rotated meanwhile: the rest of the
    // older file comes first.
    if (FileSize(m_path) < m_mark) return ReadFrom(m_path + L".1", m_mark) + ReadFrom(m_path, 0);
    return ReadFrom(m_path, m_mark);
}

std::vector<std::string> EventLogReader::Events() const {
    // "YYYY-MM-DD HH:MM:SS.mmm " before each event.
    constexpr size_t kStamp = 24;
    std::vector<std::string> events;
    const std::string text = Dump();
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        if (end - start > kStamp) events.push_back(text.substr(start + kStamp, end - start - kStamp));
    }
    return events;
}

std::vector<std::string> EventLogReader::Matching(const std::string& text) const {
    std::vector<std::string> found;
    for (const std::string& event : Events()) {
        if (event.find(text) != std::string::npos) found.push_back(event);
    }
    return found;
}

bool ProcessRunning(DWORD pid) {
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!h) return false;
    bool running = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    CloseHandle(h);
    return running;
}

void KillProcess(DWORD pid) {
    HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (!h) return;
    TerminateProcess(h, 1);
    WaitForSingleObject(h, 5000);
    CloseHandle(h);
}

bool SaveScreenshot(const std::wstring& bmpPath) {
    int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = h;  // bottom-up, as a BMP file stores it
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (bmp) {
        HGDIOBJ old = SelectObject(mem, bmp);
        BitBlt(mem, 0, 0, w, h, screen, 0, 0, SRCCOPY);
        SelectObject(mem, old);
        DWORD stride = ((w * 3 + 3) / 4) * 4;
        DWORD size = stride * h;
        BITMAPFILEHEADER fh = {};
        fh.bfType = 0x4D42;
        fh.bfOffBits = sizeof fh + sizeof(BITMAPINFOHEADER);
        fh.bfSize = fh.bfOffBits + size;
        if (FILE* f = _wfopen(bmpPath.c_str(), L"wb")) {
            ok = fwrite(&fh, sizeof fh, 1, f) == 1 && fwrite(&bi.bmiHeader, sizeof(BITMAPINFOHEADER), 1, f) == 1 &&
                 fwrite(bits, 1, size, f) == size;
            fclose(f);
        }
        DeleteObject(bmp);
    }
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return ok;
}

}  // namespace e2e
