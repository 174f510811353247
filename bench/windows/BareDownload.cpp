// The download's floor: what fetching a file costs at all with the WinINet
// calls and flags the upgrade uses, 1024-byte reads into a file and a repaint
// request per read, and nothing else (no transfer thread of its own, no
// progress arithmetic, no shutdown checks, no bars to paint).
//
//   bare_download URL [RUNS]
//
// Shows a plain window whose thread paints it, while a second thread fetches
// URL into the temporary folder RUNS times (default 1) and asks for a repaint
// of the window after every read. Prints one line per run:
//   ok=1 bytes=N seconds=S
// The downloaded file is removed afterwards.
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr DWORD kReadSize = 1024;
constexpr DWORD kTimeoutMs = 15000;

struct Run {
    HWND window;
    std::wstring url;
    std::wstring file;
    unsigned long long bytes = 0;
    double seconds = 0;
    bool ok = false;
};

void SetTimeouts(HINTERNET handle) {
    DWORD timeout = kTimeoutMs;
    for (DWORD option :
         {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
        InternetSetOptionW(handle, option, &timeout, sizeof timeout);
}

bool Fetch(Run& run) {
    bool ok = false;
    HINTERNET root = InternetOpenW(L"bare_download", INTERNET_OPEN_TYPE_PRECONFIG, L"", nullptr, 0);
    HINTERNET connection = nullptr, request = nullptr;
    std::FILE* out = nullptr;
    wchar_t host[256] = {}, path[2048] = {};
    URL_COMPONENTSW url = {};
    url.dwStructSize = sizeof url;
    url.lpszHostName = host;
    url.dwHostNameLength = 256;
    url.lpszUrlPath = path;
    url.dwUrlPathLength = 2048;
    if (root && InternetCrackUrlW(run.url.c_str(), 0, 0, &url)) {
        SetTimeouts(root);
        connection = InternetConnectW(root, host, url.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    }
    if (connection) {
        request = HttpOpenRequestW(connection, L"GET", path, nullptr, nullptr, nullptr,
                                   INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
    }
    DWORD status = 0, size = sizeof status, index = 0;
    wchar_t length[16] = {};
    DWORD lengthSize = sizeof length, lengthIndex = 0;
    if (request) {
        SetTimeouts(request);
        ok = HttpSendRequestW(request, nullptr, 0, nullptr, 0) &&
             HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, &index) &&
             status == HTTP_STATUS_OK;
    }
    if (ok) {
        // Asked for, as the upgrade asks, though a download without it is fine.
        HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, length, &lengthSize, &lengthIndex);
        ok = _wfopen_s(&out, run.file.c_str(), L"wb") == 0;
    }
    char buffer[kReadSize];
    while (ok) {
        DWORD available = 0, got = 0;
        ok = InternetQueryDataAvailable(request, &available, 0, 0) &&
             (available == 0 || InternetReadFile(request, buffer, available < kReadSize ? available : kReadSize, &got));
        if (!ok || got == 0) break;
        ok = std::fwrite(buffer, 1, got, out) == got;
        run.bytes += got;
        InvalidateRect(run.window, nullptr, TRUE);
    }
    if (out && std::fclose(out) != 0) ok = false;
    if (request) InternetCloseHandle(request);
    if (connection) InternetCloseHandle(connection);
    if (root) InternetCloseHandle(root);
    return ok;
}

DWORD WINAPI Download(LPVOID param) {
    Run& run = *static_cast<Run*>(param);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    run.bytes = 0;
    run.ok = Fetch(run);
    QueryPerformanceCounter(&end);
    run.seconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bare_download URL [RUNS]\n");
        return 2;
    }
    const std::string urlAnsi = argv[1];
    const int runs = argc > 2 ? std::atoi(argv[2]) : 1;

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = L"BareDownload";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, L"BareDownload", L"bare_download", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 400, 200, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (!window) return 1;
    ShowWindow(window, SW_SHOWNOACTIVATE);

    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    Run run;
    run.window = window;
    run.url.assign(urlAnsi.begin(), urlAnsi.end());
    run.file = std::wstring(temp) + L"bare_download.tmp";

    int result = 0;
    for (int i = 0; i < runs; ++i) {
        DeleteFileW(run.file.c_str());
        HANDLE thread = CreateThread(nullptr, 0, Download, &run, 0, nullptr);
        if (!thread) return 1;
        // This thread paints the window until the download ends.
        while (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        }
        CloseHandle(thread);
        if (!run.ok) result = 1;
        std::printf("ok=%d bytes=%llu seconds=%.4f\n", run.ok ? 1 : 0, run.bytes, run.seconds);
        std::fflush(stdout);
    }
    DeleteFileW(run.file.c_str());
    DestroyWindow(window);
    return result;
}
