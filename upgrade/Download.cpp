#include "upgrade/Download.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "base/AwakeClock.h"
#include "base/EventLog.h"
#include "base/Handles.h"
#include "upgrade/ArrivalPace.h"
#include "upgrade/ProgressSteps.h"

namespace {

constexpr DWORD kReadSize = 1024;
constexpr DWORD kWaitStepMs = 50;

// Owns one WinINet handle.
class InternetHandle {
public:
    explicit InternetHandle(HINTERNET h) : m_h(h) {}
    ~InternetHandle() {
        if (m_h) InternetCloseHandle(m_h);
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    operator HINTERNET() const { return m_h; }

private:
    HINTERNET m_h;
};

// The file a download writes, buffered, through a handle of its own to the
// caller's file, so that an abandoned download can go on writing into
// nothing that matters until its thread ends. What it wrote stays only once
// Keep() was called; otherwise the file is emptied when this owner goes.
class OutputFile {
public:
    explicit OutputFile(HANDLE file) {
        HANDLE own = nullptr;
        if (DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &own, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
            m_file.Reset(own);
        }
    }
    ~OutputFile() {
        if (m_kept || !m_file) return;
        LARGE_INTEGER start = {};
        if (SetFilePointerEx(m_file.Get(), start, nullptr, FILE_BEGIN)) SetEndOfFile(m_file.Get());
    }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    explicit operator bool() const { return static_cast<bool>(m_file); }
    bool Write(const char* data, DWORD size) {
        if (m_buffered + size > m_buffer.size() && !Flush()) return false;
        std::memcpy(m_buffer.data() + m_buffered, data, size);
        m_buffered += size;
        return true;
    }
    // Hands what is buffered to the file system.
    bool Flush() {
        DWORD written = 0;
        const bool ok = m_buffered == 0 || (WriteFile(m_file.Get(), m_buffer.data(), m_buffered, &written, nullptr) &&
                                            written == m_buffered);
        m_buffered = 0;
        return ok;
    }
    // Lets go of the file without writing what is buffered.
    void Close() { m_file.Reset(); }
    // Writes what is buffered and lets go of the file, which keeps it.
    bool Keep() {
        if (!Flush()) return false;
        m_file.Reset();
        m_kept = true;
        return true;
    }

private:
    UniqueHandle m_file;
    bool m_kept = false;
    DWORD m_buffered = 0;
    std::vector<char> m_buffer = std::vector<char>(64 * 1024);
};

// Keeps kFreeSpaceFloor free on the volume of a download's folder. The
// platform is asked before the first byte and again whenever what it last
// allowed is used up, at the latest after kMeasureEvery bytes (others write
// to the volume too); asking on every read would cost a system call per KiB.
class FreeSpaceGuard {
public:
    FreeSpaceGuard(FreeSpaceQuery query, const std::wstring& file)
        : m_query(std::move(query)), m_folder(file.substr(0, file.rfind(L'\\'))) {}

    // Asks the platform whether `bytes` more would leave the floor free. What
    // was written before must have reached the file system by then.
    bool Fits(std::uint64_t bytes) {
        std::uint64_t free = 0;
        m_allowance = 0;
        m_told = m_query && m_query(m_folder, &free);
        m_free = free;
        if (!m_told || free < kFreeSpaceFloor || free - kFreeSpaceFloor < bytes) {
            return false;
        }
        m_allowance = std::min(free - kFreeSpaceFloor - bytes, kMeasureEvery);
        return true;
    }
    // Says why Fits(bytes) refused a download of `url`.
    void LogRefusal(const std::wstring& url, std::uint64_t bytes) const {
        if (!m_told) {
            LogEvent(L"Download of %ls stopped: the free space on the volume of %ls cannot be told", url.c_str(),
                     m_folder.c_str());
            return;
        }
        LogEvent(
            L"Download of %ls stopped: %llu more bytes would leave less than %llu MiB free on the volume of %ls "
            L"(%llu bytes free)",
            url.c_str(), bytes, kFreeSpaceFloor >> 20, m_folder.c_str(), m_free);
    }
    // Takes `bytes` from what the last answer allowed; false when it has not
    // that much left, and then Fits() must ask.
    bool Take(std::uint64_t bytes) {
        if (bytes > m_allowance) return false;
        m_allowance -= bytes;
        return true;
    }

private:
    static constexpr std::uint64_t kMeasureEvery = 4ull << 20;
    const FreeSpaceQuery m_query;
    const std::wstring m_folder;
    std::uint64_t m_allowance = 0;
    bool m_told = false;
    std::uint64_t m_free = 0;
};

bool StartsWithHttps(const wchar_t* url) { return _wcsnicmp(url, L"https://", 8) == 0; }

// A WinINet error as the log gives it: the number with WinINet's own
// meaning, and a certificate problem by its name as well, since "which check
// of the certificate failed" is what an administrator has to act on.
std::wstring WinInetError(DWORD error) {
    static const struct {
        DWORD code;
        const wchar_t* name;
    } kCertificateErrors[] = {
        {ERROR_INTERNET_SEC_CERT_DATE_INVALID, L"ERROR_INTERNET_SEC_CERT_DATE_INVALID"},
        {ERROR_INTERNET_SEC_CERT_CN_INVALID, L"ERROR_INTERNET_SEC_CERT_CN_INVALID"},
        {ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED, L"ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED"},
        {ERROR_INTERNET_INVALID_CA, L"ERROR_INTERNET_INVALID_CA"},
        {ERROR_INTERNET_SEC_CERT_ERRORS, L"ERROR_INTERNET_SEC_CERT_ERRORS"},
        {ERROR_INTERNET_SEC_CERT_NO_REV, L"ERROR_INTERNET_SEC_CERT_NO_REV"},
        {ERROR_INTERNET_SEC_CERT_REV_FAILED, L"ERROR_INTERNET_SEC_CERT_REV_FAILED"},
        {ERROR_INTERNET_SECURITY_CHANNEL_ERROR, L"ERROR_INTERNET_SECURITY_CHANNEL_ERROR"},
        {ERROR_INTERNET_SEC_INVALID_CERT, L"ERROR_INTERNET_SEC_INVALID_CERT"},
        {ERROR_INTERNET_SEC_CERT_REVOKED, L"ERROR_INTERNET_SEC_CERT_REVOKED"},
    };
    const std::wstring meaning = ErrorText(error, GetModuleHandleW(L"wininet.dll"));
    std::wstring text = L"WinINet error " + std::to_wstring(error);
    if (!meaning.empty()) text += L" (" + meaning + L")";
    for (const auto& certificate : kCertificateErrors) {
        if (certificate.code == error) return std::wstring(L"certificate refused, ") + certificate.name + L", " + text;
    }
    return text;
}

// One download, run on a thread of its own. WinINet's synchronous calls
// block until the server answers or a time-out passes, and Windows allows
// no other thread to close a handle that such a call is using. So the
// thread that asked (the upgrade thread) only waits for this one, and stops
// waiting when the supervisor shuts down: the transfer then ends by itself
// at its next read or time-out, and owns everything it touches until then.
class Transfer {
public:
    Transfer(std::wstring url, std::wstring path, HANDLE file, DownloadBounds bounds)
        : m_url(std::move(url)), m_path(std::move(path)), m_out(file), m_bounds(std::move(bounds)) {}

    ~Transfer() {
        // The upgrade that abandoned this download has removed its folder,
        // but for this file: once the file goes (the system removes it with
        // the last handle), so does the folder.
        if (!m_abandoned) return;
        m_out.Close();
        RemoveDirectoryW(m_path.substr(0, m_path.rfind(L'\\')).c_str());
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    void Run() {
        m_ok = Fetch();
        m_finished = true;
    }
    void Abandon() { m_abandoned = true; }
    bool Finished() const { return m_finished; }
    bool Succeeded() const { return m_ok; }
    // The answer's bytes that have arrived so far, for the pace.
    std::uint64_t Arrived() const { return m_arrived; }
    // The file bar's positions since the last call, in order.
    std::vector<std::uint32_t> TakePositions() {
        std::lock_guard<std::mutex> hold(m_lock);
        return std::move(m_positions);
    }

private:
    void Report(std::uint32_t position) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_positions.push_back(position);
    }

    // Reads one block of up to size bytes. InternetReadFile returns only when
    // the whole request is filled or the data ends, which at a trickle takes
    // minutes; so we ask for no more than has arrived, and give up between
    // pieces once abandoned. A block still counts as one read for the
    // progress, as a full 1024-byte read did.
    bool ReadBlock(HINTERNET file, char* block, DWORD size, DWORD* got) {
        *got = 0;
        while (*got < size) {
            if (m_abandoned) return false;
            DWORD available = 0;
            if (!InternetQueryDataAvailable(file, &available, 0, 0)) return false;
            if (available == 0) break;  // the end of the data
            DWORD piece = 0;
            if (!InternetReadFile(file, block + *got, available < size - *got ? available : size - *got, &piece)) {
                return false;
            }
            if (piece == 0) break;
            *got += piece;
            m_arrived += piece;
        }
        return true;
    }

    // Opens the request for the URL, with the time-outs in force from the
    // start: Windows lets a request take them from the root handle, and some
    // WinINet implementations honour them only on the request itself.
    bool Open(HINTERNET root, HINTERNET* connection, HINTERNET* request) {
        wchar_t host[256] = {}, path[2048] = {};
        URL_COMPONENTSW url = {};
        url.dwStructSize = sizeof url;
        url.lpszHostName = host;
        url.dwHostNameLength = 256;
        url.lpszUrlPath = path;
        url.dwUrlPathLength = 2048;
        if (!InternetCrackUrlW(m_url.c_str(), 0, 0, &url)) return false;
        if (url.nScheme != INTERNET_SCHEME_HTTP && url.nScheme != INTERNET_SCHEME_HTTPS) {
            SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
            return false;
        }
        *connection = InternetConnectW(root, host, url.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
        if (!*connection) return false;
        // Always from the server, and nothing of it into the user's cache:
        // an upgrade is written to disk once, in the temporary folder. The
        // certificate of an https server is checked, and no error of it is
        // ever ignored.
        const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                            (url.nScheme == INTERNET_SCHEME_HTTPS ? INTERNET_FLAG_SECURE : 0);
        *request = HttpOpenRequestW(*connection, L"GET", path, nullptr, nullptr, nullptr, flags, 0);
        if (!*request) return false;
        SetTimeouts(*request);
        // An answer we refuse or cut short is dropped with its handle, and
        // Windows discards what is outstanding; the connection is not to be
        // kept for another request, so nothing of it is worth reading to its
        // end. A bounded download asks for one byte more than the bound and
        // no more: a server that honours ranges (any static server) then
        // never sends more than that, however large its file.
        std::wstring headers = L"Connection: close\r\n";
        if (Ranged()) headers += L"Range: bytes=0-" + std::to_wstring(m_bounds.size) + L"\r\n";
        return HttpSendRequestW(*request, headers.c_str(), static_cast<DWORD>(-1), nullptr, 0) != FALSE;
    }

    bool Ranged() const { return m_bounds.size > 0 && m_bounds.size < UINT64_MAX; }

    // For the range asked for, 206 is the answer when it starts at the first
    // byte; a whole file the server says is longer than the bound is refused
    // here, before its first byte.
    bool PartFromTheStart(HINTERNET file) const {
        wchar_t range[96] = {};
        DWORD size = sizeof range, index = 0;
        if (!HttpQueryInfoW(file, HTTP_QUERY_CONTENT_RANGE, range, &size, &index) || wcsncmp(range, L"bytes 0-", 8)) {
            LogEvent(L"Download of %ls failed: HTTP status 206 for a range that does not start at 0 (\"%ls\")",
                     m_url.c_str(), range);
            return false;
        }
        const wchar_t* total = wcschr(range, L'/');
        if (total && total[1] != L'*' && _wcstoui64(total + 1, nullptr, 10) > m_bounds.size) {
            LogEvent(L"Download of %ls refused: the server has %ls bytes, more than the %llu allowed for it",
                     m_url.c_str(), total + 1, m_bounds.size);
            return false;
        }
        return true;
    }

    static void SetTimeouts(HINTERNET handle) {
        DWORD timeout = kServerTimeoutMs;
        for (DWORD option :
             {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT}) {
            InternetSetOptionW(handle, option, &timeout, sizeof timeout);
        }
    }

    bool Fetch() {
        const ULONGLONG started = GetTickCount64();
        InternetHandle root(InternetOpenW(L"Marlowcast", INTERNET_OPEN_TYPE_PRECONFIG, L"", nullptr, 0));
        if (!root) {
            LogEvent(L"Download of %ls failed: WinINet did not open, %ls", m_url.c_str(),
                     WinInetError(GetLastError()).c_str());
            return false;
        }
        SetTimeouts(root);
        HINTERNET connection = nullptr, request = nullptr;
        const bool opened = Open(root, &connection, &request);
        const DWORD openError = opened ? 0 : GetLastError();
        InternetHandle ownConnection(connection), file(request);
        if (!opened) {
            LogEvent(L"Download of %ls failed: %ls", m_url.c_str(), WinInetError(openError).c_str());
            return false;
        }

        // Windows refuses a redirect from https to plain http unless told
        // otherwise; whatever the platform did, such an answer is not used.
        wchar_t answered[2048] = {};
        DWORD answeredSize = sizeof answered;
        if (StartsWithHttps(m_url.c_str()) &&
            (!InternetQueryOptionW(file, INTERNET_OPTION_URL, answered, &answeredSize) || !StartsWithHttps(answered))) {
            LogEvent(L"Download of %ls refused: answered from %ls, not over https", m_url.c_str(),
                     answered[0] ? answered : L"an address WinINet does not tell");
            return false;
        }

        // A missing file or a server error has a body too; it must not be
        // installed as if it were the file.
        DWORD status = 0, statusSize = sizeof(status), index = 0;
        if (!HttpQueryInfoW(file, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize, &index)) {
            LogEvent(L"Download of %ls failed: no HTTP status, %ls", m_url.c_str(),
                     WinInetError(GetLastError()).c_str());
            return false;
        }
        if (Ranged() && status == HTTP_STATUS_PARTIAL_CONTENT) {
            if (!PartFromTheStart(file)) return false;
        } else if (status != HTTP_STATUS_OK) {
            LogEvent(L"Download of %ls failed: HTTP status %lu", m_url.c_str(), status);
            return false;
        }

        wchar_t lengthText[32] = {};
        DWORD lengthSize = sizeof(lengthText);
        index = 0;
        const bool hasLength =
            HttpQueryInfoW(file, HTTP_QUERY_CONTENT_LENGTH, lengthText, &lengthSize, &index) != FALSE;
        const std::uint64_t length = hasLength ? _wcstoui64(lengthText, nullptr, 10) : 0;
        // A declared length that cannot be stored fails before the first byte.
        FreeSpaceGuard space(m_bounds.freeSpace, m_path);
        if (length > m_bounds.size) {
            LogEvent(L"Download of %ls refused: the server declares %llu bytes, more than the %llu allowed for it",
                     m_url.c_str(), length, m_bounds.size);
            return false;
        }
        if (!space.Fits(length)) {
            space.LogRefusal(m_url, length);
            return false;
        }
        FileProgress progress(static_cast<std::uint32_t>(std::min<std::uint64_t>(length, UINT32_MAX)));

        if (m_abandoned) return false;  // nothing more is written for an upgrade that ended
        OutputFile& out = m_out;
        if (!out) {
            const DWORD error = GetLastError();
            LogEvent(L"Download of %ls failed: %ls could not be made, error %lu (%ls)", m_url.c_str(), m_path.c_str(),
                     error, ErrorText(error).c_str());
            return false;
        }

        char buffer[kReadSize];
        std::uint64_t received = 0;
        for (;;) {
            DWORD got = 0;
            if (!ReadBlock(file, buffer, kReadSize, &got)) {
                // An abandoned one says so where it was given up.
                if (!m_abandoned) {
                    LogEvent(L"Download of %ls failed after %llu bytes: %ls", m_url.c_str(), received,
                             WinInetError(GetLastError()).c_str());
                }
                return false;
            }
            if (got == 0) {
                // A response cut short is not the file.
                if (hasLength && received < length) {
                    LogEvent(L"Download of %ls failed: the answer ended after %llu of the %llu bytes declared",
                             m_url.c_str(), received, length);
                    return false;
                }
                if (m_abandoned) return false;
                if (!out.Keep()) return WriteFailed();
                Report(FileProgress::Done());
                LogEvent(L"Downloaded %ls: %llu bytes in %.2f s", m_url.c_str(), received,
                         (GetTickCount64() - started) / 1000.0);
                return true;
            }
            received += got;
            // Nothing past the bound is written: at most one read is taken
            // beyond it, and then the download fails.
            if (received > m_bounds.size) {
                LogEvent(L"Download of %ls stopped: more than the %llu bytes allowed for it came", m_url.c_str(),
                         m_bounds.size);
                return false;
            }
            if (!space.Take(got)) {
                if (!out.Flush()) return WriteFailed();
                if (!space.Fits(got)) {
                    space.LogRefusal(m_url, got);
                    return false;
                }
            }
            if (!out.Write(buffer, got)) return WriteFailed();
            Report(static_cast<std::uint32_t>(progress.OnRead()));
        }
    }

    bool WriteFailed() const {
        const DWORD error = GetLastError();
        LogEvent(L"Download of %ls failed: writing %ls, error %lu (%ls)", m_url.c_str(), m_path.c_str(), error,
                 ErrorText(error).c_str());
        return false;
    }

    const std::wstring m_url;
    const std::wstring m_path;
    OutputFile m_out;  // made on the caller's thread, while its handle is sure to be open
    const DownloadBounds m_bounds;
    std::atomic<bool> m_abandoned{false};
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_ok{false};
    std::atomic<std::uint64_t> m_arrived{0};
    std::mutex m_lock;
    std::vector<std::uint32_t> m_positions;
};

DWORD WINAPI TransferThread(LPVOID param) {
    // The thread holds its own share of the transfer, so that an abandoned
    // one lives until it has ended.
    std::unique_ptr<std::shared_ptr<Transfer>> transfer(static_cast<std::shared_ptr<Transfer>*>(param));
    try {
        (*transfer)->Run();
    } catch (...) {
        // Nothing may unwind out of a thread; the transfer counts as failed.
    }
    return 0;
}

// The threads of abandoned downloads, kept until the process ends so that
// its end can tell whether one is still inside WinINet. Only the shutdown
// abandons a download, so these are few.
std::mutex g_abandonedLock;
std::vector<UniqueHandle> g_abandoned;

}  // namespace

bool DownloadFile(const std::wstring& url, const std::wstring& path, HANDLE file, const StopFlag& running,
                  const std::function<void(std::uint32_t)>& onRead, const DownloadBounds& bounds) {
    const std::function<std::uint64_t()> clock =
        bounds.clock ? bounds.clock : std::function<std::uint64_t()>(AwakeMilliseconds);
    ArrivalPace pace(clock());
    auto transfer = std::make_shared<Transfer>(url, path, file, bounds);
    auto* share = new std::shared_ptr<Transfer>(transfer);
    UniqueHandle thread(CreateThread(nullptr, 0, TransferThread, share, 0, nullptr));
    if (!thread) {
        const DWORD error = GetLastError();
        LogEvent(L"Download of %ls not started: no thread for it, error %lu (%ls)", url.c_str(), error,
                 ErrorText(error).c_str());
        delete share;
        return false;
    }
    for (;;) {
        const bool ended = WaitForSingleObject(thread.Get(), kWaitStepMs) == WAIT_OBJECT_0;
        for (std::uint32_t position : transfer->TakePositions()) onRead(position);
        if (ended) return transfer->Finished() && transfer->Succeeded();
        // Watched from here, so that an answer's header that trickles (which
        // keeps WinINet inside one call) is held to the pace as well.
        const std::uint64_t now = clock();
        const bool paced = pace.Keeps(now, transfer->Arrived());
        const bool inTime = bounds.deadlineMs == 0 || now <= bounds.deadlineMs;
        if (!running.IsRunning() || !paced || !inTime) {
            if (!running.IsRunning()) {
                LogEvent(L"Download of %ls abandoned: Quillstone is shutting down", url.c_str());
            } else if (!inTime) {
                LogEvent(L"Download of %ls stopped: not over by the time allowed for it", url.c_str());
            } else {
                LogEvent(L"Download of %ls stopped: fewer than %llu bytes came in %llu s (%llu bytes in all)",
                         url.c_str(), kPaceBytes, kPaceWindowMs / 1000, transfer->Arrived());
            }
            transfer->Abandon();
            std::lock_guard<std::mutex> hold(g_abandonedLock);
            g_abandoned.push_back(std::move(thread));
            return false;
        }
    }
}

bool AbandonedDownloadRunning() {
    std::lock_guard<std::mutex> hold(g_abandonedLock);
    for (const UniqueHandle& thread : g_abandoned) {
        if (WaitForSingleObject(thread.Get(), 0) == WAIT_TIMEOUT) return true;
    }
    return false;
}
