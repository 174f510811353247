// A stand-in for Marlowcast, the program Quillstone supervises. It does what
// the supervisor relies on (instance mutex, a visible window, the status and
// upgrade-list answers on 127.0.0.1:50918, asking for an upgrade and then
// exiting, ending the supervisor) and misbehaves on command, for the demo and
// the tests.
//
// It is started without arguments, so it is steered through:
//   - the environment, inherited from the supervisor: MARLOWCAST_ON_START holds
//     commands run at every start, separated by ';' (e.g. "crash" or "mute");
//     without it, on-start.txt in its working folder may hold them;
//   - a control connection on 127.0.0.1:50919 (MARLOWCAST_CONTROL_PORT): one
//     command per line, answered with one line;
//   - its window's buttons.
// Commands: ping, exit N, crash, hang, mute, unmute, delay MS, close-listener,
// drop-mutex, upgrade, upgrade-stay (asks but does not exit), quit-supervisor.
// Each start and each served request is appended to Marlowcast.log beside the
// executable; the upgrade list it serves is upgrade.xml beside the executable.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr wchar_t kMutexName[] = L"{76B9B54D_86B9_40E5_85DA_FA1B8KEA86E6}";
constexpr wchar_t kSupervisorCaption[] = L"Quillstone for Marlowcast";
constexpr UINT WM_SV_QUIT = 1850;
constexpr UINT WM_SV_UPGRADE = 2141;
constexpr u_short kStatusPort = 50918;
constexpr u_short kDefaultControlPort = 50919;

constexpr UINT WM_APP_HANG = WM_APP + 1;
constexpr UINT WM_APP_REFRESH = WM_APP + 2;
constexpr int IDC_STATE = 100;
constexpr int IDC_UPGRADE = 101;
constexpr int IDC_CRASH = 102;

HWND g_hWnd = nullptr;
HANDLE g_hMutex = nullptr;
SOCKET g_listener = INVALID_SOCKET;
std::atomic<bool> g_mute{false};
std::atomic<int> g_delayMs{0};
std::atomic<bool> g_exitAfterList{false};
std::atomic<long> g_served{0};
wchar_t g_folder[MAX_PATH];

void Log(const char* fmt, ...) {
    wchar_t path[MAX_PATH];
    swprintf(path, MAX_PATH, L"%ls\\Marlowcast.log", g_folder);
    FILE* f = _wfopen(path, L"ab");
    if (!f) return;
    fprintf(f, "%lu ", GetCurrentProcessId());
    va_list args;
    va_start(args, fmt);
    vfprintf(f, fmt, args);
    va_end(args);
    fputc('\n', f);
    fclose(f);
}

void Refresh() {
    if (g_hWnd) PostMessageW(g_hWnd, WM_APP_REFRESH, 0, 0);
}

std::string ReadUpgradeList() {
    wchar_t path[MAX_PATH];
    swprintf(path, MAX_PATH, L"%ls\\upgrade.xml", g_folder);
    std::string text;
    FILE* f = _wfopen(path, L"rb");
    if (!f) return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    fclose(f);
    return text;
}

void SendAll(SOCKET s, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        int n = send(s, data.data() + off, static_cast<int>(data.size() - off), 0);
        if (n <= 0) return;
        off += static_cast<size_t>(n);
    }
}

// Reads one request: header up to the blank line plus Content-Length bytes,
// or whatever came within a few seconds.
std::string ReadRequest(SOCKET s) {
    DWORD timeout = 3000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    std::string req;
    char buf[1024];
    for (;;) {
        size_t end = req.find("\r\n\r\n");
        if (end != std::string::npos) {
            size_t cl = req.find("Content-Length: ");
            size_t want = cl == std::string::npos ? 0 : std::strtoul(req.c_str() + cl + 16, nullptr, 10);
            if (req.size() >= end + 4 + want) break;
        }
        int n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        req.append(buf, static_cast<size_t>(n));
    }
    return req;
}

DWORD WINAPI ServeConnection(LPVOID param) {
    SOCKET s = static_cast<SOCKET>(reinterpret_cast<UINT_PTR>(param));
    std::string req = ReadRequest(s);
    if (req.rfind("GET /Marlowcast/Status\r\n", 0) == 0) {
        Log("status request");
        if (g_mute) {
            // Keep the connection open and say nothing, like a program that hangs.
            char buf[256];
            while (recv(s, buf, sizeof buf, 0) > 0) {}
        } else {
            if (g_delayMs > 0) Sleep(static_cast<DWORD>(g_delayMs.load()));
            SendAll(s, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOK");
        }
    } else if (req.rfind("GET /Marlowcast/UpgradeXml\r\n", 0) == 0) {
        SendAll(s, ReadUpgradeList());
        Log("served upgrade list");
        ++g_served;
        shutdown(s, SD_BOTH);
        closesocket(s);
        if (g_exitAfterList) {
            Log("exit for upgrade");
            ExitProcess(0);
        }
        return 0;
    }
    shutdown(s, SD_BOTH);
    closesocket(s);
    return 0;
}

DWORD WINAPI ListenThread(LPVOID) {
    for (;;) {
        SOCKET l = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(kStatusPort);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // The previous instance may still hold the port for a moment.
        if (bind(l, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(l, 16) == 0) {
            g_listener = l;
            Refresh();
            for (;;) {
                SOCKET c = accept(l, nullptr, nullptr);
                if (c == INVALID_SOCKET) return 0;  // closed on command
                HANDLE t = CreateThread(nullptr, 0, ServeConnection, reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(c)),
                                        0, nullptr);
                if (t) CloseHandle(t);
            }
        }
        closesocket(l);
        Sleep(200);
    }
}

DWORD WINAPI SendToSupervisor(LPVOID param) {
    UINT msg = static_cast<UINT>(reinterpret_cast<UINT_PTR>(param));
    HWND hSupervisor = FindWindowW(nullptr, kSupervisorCaption);
    if (hSupervisor) SendMessageW(hSupervisor, msg, 0, 0);
    return 0;
}

void AskForUpgrade(bool exitAfterList) {
    // Served the list, then gone: the supervisor installs once we have exited.
    g_exitAfterList = exitAfterList;
    HANDLE t = CreateThread(nullptr, 0, SendToSupervisor,
                            reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(WM_SV_UPGRADE)), 0, nullptr);
    if (t) CloseHandle(t);
    Log("asked for upgrade");
}

std::string RunCommand(const std::string& line) {
    char name[32] = {};
    long arg = 0;
    std::sscanf(line.c_str(), "%31s %ld", name, &arg);
    std::string cmd = name;
    if (cmd == "ping") return "pid " + std::to_string(GetCurrentProcessId());
    if (cmd == "exit") {
        Log("exit %ld", arg);
        ExitProcess(static_cast<UINT>(arg));
    }
    if (cmd == "crash") {
        Log("crash");
        *static_cast<volatile int*>(nullptr) = 1;
    }
    if (cmd == "hang") {
        PostMessageW(g_hWnd, WM_APP_HANG, 0, 0);
    } else if (cmd == "mute") {
        g_mute = true;
    } else if (cmd == "unmute") {
        g_mute = false;
    } else if (cmd == "delay") {
        g_delayMs = static_cast<int>(arg);
    } else if (cmd == "close-listener") {
        SOCKET l = g_listener;
        g_listener = INVALID_SOCKET;
        if (l != INVALID_SOCKET) closesocket(l);
    } else if (cmd == "drop-mutex") {
        if (g_hMutex) CloseHandle(g_hMutex);
        g_hMutex = nullptr;
    } else if (cmd == "upgrade") {
        AskForUpgrade(true);
    } else if (cmd == "upgrade-stay") {
        AskForUpgrade(false);
    } else if (cmd == "quit-supervisor") {
        HANDLE t = CreateThread(nullptr, 0, SendToSupervisor,
                                reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(WM_SV_QUIT)), 0, nullptr);
        if (t) CloseHandle(t);
    } else {
        return "unknown " + cmd;
    }
    Log("%s", line.c_str());
    Refresh();
    return "ok";
}

DWORD WINAPI ControlThread(LPVOID) {
    const char* env = std::getenv("MARLOWCAST_CONTROL_PORT");
    u_short port = env ? static_cast<u_short>(std::atoi(env)) : kDefaultControlPort;
    SOCKET l = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Another instance may own the control port; this one is then steered
    // through its environment and window only.
    for (int tries = 0; bind(l, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0; ++tries) {
        if (tries == 50) return 0;
        Sleep(200);
    }
    listen(l, 4);
    for (;;) {
        SOCKET c = accept(l, nullptr, nullptr);
        if (c == INVALID_SOCKET) return 0;
        std::string line;
        char ch;
        while (recv(c, &ch, 1, 0) == 1 && ch != '\n') {
            if (ch != '\r') line += ch;
        }
        std::string reply = RunCommand(line) + "\n";
        SendAll(c, reply);
        shutdown(c, SD_BOTH);
        closesocket(c);
    }
}

void UpdateState() {
    wchar_t text[512];
    wchar_t cwd[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    swprintf(text, 512,
             L"Process %lu\nMutex: %ls   Listener: %ls\nStatus answers: %ls   Delay: %d ms\n"
             L"Upgrade lists served: %ld\nCurrent folder: %ls",
             GetCurrentProcessId(), g_hMutex ? L"held" : L"released",
             g_listener != INVALID_SOCKET ? L"127.0.0.1:50918" : L"closed", g_mute ? L"muted" : L"200 OK",
             g_delayMs.load(), g_served.load(), cwd);
    SetDlgItemTextW(g_hWnd, IDC_STATE, text);
}

LRESULT CALLBACK WndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_CREATE: {
            HINSTANCE hInst = reinterpret_cast<CREATESTRUCTW*>(lParam)->hInstance;
            CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 12, 10, 400, 90, hWnd,
                            reinterpret_cast<HMENU>(IDC_STATE), hInst, nullptr);
            CreateWindowExW(0, L"BUTTON", L"Ask for upgrade", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 12, 110, 140, 28,
                            hWnd, reinterpret_cast<HMENU>(IDC_UPGRADE), hInst, nullptr);
            CreateWindowExW(0, L"BUTTON", L"Crash", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 162, 110, 90, 28, hWnd,
                            reinterpret_cast<HMENU>(IDC_CRASH), hInst, nullptr);
            return 0;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDC_UPGRADE) AskForUpgrade(true);
            if (LOWORD(wParam) == IDC_CRASH) RunCommand("crash");
            return 0;
        case WM_APP_HANG:
            Log("hang");
            Sleep(INFINITE);
            return 0;
        case WM_APP_REFRESH: UpdateState(); return 0;
        case WM_DESTROY: PostQuitMessage(0); return 0;
    }
    return DefWindowProcW(hWnd, msg, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE hInst, HINSTANCE, LPWSTR, int nCmdShow) {
    GetModuleFileNameW(nullptr, g_folder, MAX_PATH);
    if (wchar_t* slash = wcsrchr(g_folder, L'\\')) *slash = 0;
    wchar_t cwd[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    char cwdA[MAX_PATH * 2] = {};
    WideCharToMultiByte(CP_UTF8, 0, cwd, -1, cwdA, sizeof cwdA, nullptr, nullptr);
    Log("start tid=%lu cwd=%s", GetCurrentThreadId(), cwdA);
    char commandLine[MAX_PATH * 3] = {};
    WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, commandLine, sizeof commandLine, nullptr, nullptr);
    Log("command line %s", commandLine);

    g_hMutex = CreateMutexW(nullptr, FALSE, kMutexName);
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);

    // The environment's commands, or those of on-start.txt in the working
    // folder, which it inherits from the supervisor: upgrades install there,
    // so a release can bring the file and a rollback take it away.
    std::string fromFile;
    wchar_t onStartPath[MAX_PATH];
    swprintf(onStartPath, MAX_PATH, L"%ls\\on-start.txt", cwd);
    if (FILE* f = _wfopen(onStartPath, L"rb")) {
        char text[256] = {};
        fromFile.assign(text, fread(text, 1, sizeof text - 1, f));
        fclose(f);
    }
    const char* onStart = std::getenv("MARLOWCAST_ON_START");
    if (!onStart && !fromFile.empty()) onStart = fromFile.c_str();
    if (onStart) {
        std::string cmds = onStart;
        size_t pos = 0;
        while (pos <= cmds.size()) {
            size_t end = cmds.find(';', pos);
            if (end == std::string::npos) end = cmds.size();
            std::string cmd = cmds.substr(pos, end - pos);
            if (!cmd.empty() && cmd != "hang" && cmd != "upgrade") RunCommand(cmd);
            pos = end + 1;
        }
    }

    WNDCLASSW wc = {};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = hInst;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = L"MarlowcastStandIn";
    RegisterClassW(&wc);
    g_hWnd = CreateWindowExW(0, wc.lpszClassName, L"Marlowcast (stand-in)", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                             CW_USEDEFAULT, 440, 190, nullptr, nullptr, hInst, nullptr);
    ShowWindow(g_hWnd, nCmdShow == SW_HIDE ? SW_SHOWNORMAL : nCmdShow);
    UpdateState();

    HANDLE threads[] = {CreateThread(nullptr, 0, ListenThread, nullptr, 0, nullptr),
                        CreateThread(nullptr, 0, ControlThread, nullptr, 0, nullptr)};
    for (HANDLE t : threads) {
        if (t) CloseHandle(t);
    }

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    Log("exit 0");
    return 0;
}
