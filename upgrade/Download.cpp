#include "upgrade/Download.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "base/AwakeClock.h"
#include "base/EventLog.h"
#include "base/Handles.h"
#include "upgrade/ArrivalPace.h"
#include "upgrade/ProgressSteps.h"
#include "upgrade/Resumption.h"

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
    // Empties the file, for a download that starts again from its first byte.
    bool Restart() {
        m_buffered = 0;
        LARGE_INTEGER start = {};
        return SetFilePointerEx(m_file.Get(), start, nullptr, FILE_BEGIN) && SetEndOfFile(m_file.Get());
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

// 188743680 as "188,743,680", as the log gives byte counts a person compares.
std::wstring Grouped(std::uint64_t value) {
    std::wstring digits = std::to_wstring(value);
    for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, 1, L',');
    return digits;
}

// A header of the answer as text, or "" when it has none.
std::wstring HeaderText(HINTERNET file, DWORD query) {
    wchar_t text[256] = {};
    DWORD size = sizeof text - sizeof(wchar_t), index = 0;
    return HttpQueryInfoW(file, query, text, &size, &index) ? std::wstring(text) : std::wstring();
}

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
        : m_url(std::move(url)), m_path(std::move(path)), m_out(file), m_bounds(std::move(bounds)) {
        if (!m_bounds.clock) m_bounds.clock = [] { return static_cast<std::uint64_t>(GetTickCount64()); };
    }

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
    // Counts each new request and each wait before one: the pace is kept
    // from there, since a wait the download chose is not the server's
    // silence.
    unsigned Requests() const { return m_requests; }
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
    bool Open(HINTERNET root, const std::wstring& headers, HINTERNET* connection, HINTERNET* request) {
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
        ++m_requests;
        // An answer we refuse or cut short is dropped with its handle, and
        // Windows discards what is outstanding. A bounded download asks for
        // one byte more than the bound and no more (Resumption's headers): a
        // server that honours ranges (any static server) then never sends
        // more than that, however large its file.
        return HttpSendRequestW(*request, headers.c_str(), static_cast<DWORD>(-1), nullptr, 0) != FALSE;
    }

    static void SetTimeouts(HINTERNET handle) {
        DWORD timeout = kServerTimeoutMs;
        for (DWORD option :
             {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT}) {
            InternetSetOptionW(handle, option, &timeout, sizeof timeout);
        }
    }

    // How one request ends: the file is whole, the download has failed (and
    // said why), or the answer was cut and m_cut says where and why.
    enum class Outcome { kDone, kFailed, kCut };

    bool Fetch() {
        const ULONGLONG started = GetTickCount64();
        InternetHandle root(InternetOpenW(L"Marlowcast", INTERNET_OPEN_TYPE_PRECONFIG, L"", nullptr, 0));
        if (!root) {
            LogEvent(L"Download of %ls failed: WinINet did not open, %ls", m_url.c_str(),
                     WinInetError(GetLastError()).c_str());
            return false;
        }
        SetTimeouts(root);
        if (!m_out) {
            const DWORD error = GetLastError();
            LogEvent(L"Download of %ls failed: %ls could not be made, error %lu (%ls)", m_url.c_str(), m_path.c_str(),
                     error, ErrorText(error).c_str());
            return false;
        }
        Resumption resumption(m_bounds.size);
        FreeSpaceGuard space(m_bounds.freeSpace, m_path);
        for (;;) {
            const Outcome outcome = Request(root, resumption, space);
            if (outcome == Outcome::kFailed || m_abandoned) return false;
            if (outcome == Outcome::kDone) {
                if (!m_out.Keep()) return WriteFailed();
                Report(FileProgress::Done());
                const std::wstring resumed = resumption.Count()
                                                 ? L", resumed " + std::to_wstring(resumption.Count()) + L" of " +
                                                       std::to_wstring(Resumption::kMaxResumptions) + L" times allowed"
                                                 : L"";
                LogEvent(L"Downloaded %ls: %llu bytes in %.2f s%ls", m_url.c_str(), resumption.Offset(),
                         (GetTickCount64() - started) / 1000.0, resumed.c_str());
                return true;
            }
            if (!resumption.CanResume()) {
                LogEvent(L"Download of %ls %ls", m_url.c_str(), m_cut.c_str());
                return false;
            }
            const std::uint64_t wait = resumption.Next();
            LogEvent(L"Download of %ls (%ls) cut at %ls bytes: resuming (%d of %d)", m_url.c_str(), m_cut.c_str(),
                     Grouped(resumption.Offset()).c_str(), resumption.Count(), Resumption::kMaxResumptions);
            if (!Wait(wait)) return false;
        }
    }

    // Waits on the download's clock; false when the download is abandoned
    // meanwhile (the shutdown does not wait for a resumption).
    bool Wait(std::uint64_t ms) {
        ++m_requests;
        const std::uint64_t due = m_bounds.clock() + ms;
        while (m_bounds.clock() < due) {
            if (m_abandoned) return false;
            Sleep(10);
        }
        ++m_requests;
        return !m_abandoned;
    }

    // One request: for the whole file, or for its rest after a cut.
    Outcome Request(HINTERNET root, Resumption& resumption, FreeSpaceGuard& space) {
        const bool resuming = resumption.Offset() > 0;
        HINTERNET connection = nullptr, request = nullptr;
        const bool opened = Open(root, resumption.RequestHeaders(), &connection, &request);
        const DWORD openError = opened ? 0 : GetLastError();
        InternetHandle ownConnection(connection), file(request);
        if (!opened) {
            // A server that went away for a moment is a cut; one never reached is not.
            if (resuming) return Cut(L"failed: " + WinInetError(openError));
            LogEvent(L"Download of %ls failed: %ls", m_url.c_str(), WinInetError(openError).c_str());
            return Outcome::kFailed;
        }

        // Windows refuses a redirect from https to plain http unless told
        // otherwise; whatever the platform did, such an answer is not used.
        wchar_t answered[2048] = {};
        DWORD answeredSize = sizeof answered;
        if (StartsWithHttps(m_url.c_str()) &&
            (!InternetQueryOptionW(file, INTERNET_OPTION_URL, answered, &answeredSize) || !StartsWithHttps(answered))) {
            LogEvent(L"Download of %ls refused: answered from %ls, not over https", m_url.c_str(),
                     answered[0] ? answered : L"an address WinINet does not tell");
            return Outcome::kFailed;
        }

        // A missing file or a server error has a body too; it must not be
        // installed as if it were the file.
        DWORD status = 0, statusSize = sizeof(status), index = 0;
        if (!HttpQueryInfoW(file, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize, &index)) {
            LogEvent(L"Download of %ls failed: no HTTP status, %ls", m_url.c_str(),
                     WinInetError(GetLastError()).c_str());
            return Outcome::kFailed;
        }
        const Resumption::Answer answer = resumption.Judge(status, HeaderText(file, HTTP_QUERY_CONTENT_RANGE));
        if (answer == Resumption::Answer::kRefused) {
            LogEvent(L"Download of %ls failed: %ls", m_url.c_str(), resumption.Why().c_str());
            return Outcome::kFailed;
        }
        wchar_t lengthText[32] = {};
        DWORD lengthSize = sizeof(lengthText);
        index = 0;
        const bool hasLength =
            HttpQueryInfoW(file, HTTP_QUERY_CONTENT_LENGTH, lengthText, &lengthSize, &index) != FALSE;
        const std::uint64_t length = hasLength ? _wcstoui64(lengthText, nullptr, 10) : 0;
        if (answer == Resumption::Answer::kFromStart) {
            LogEvent(
                L"Download of %ls starts again from 0: the server sent the whole file for the rest from %ls "
                L"(it ignored the range, or the file changed)",
                m_url.c_str(), Grouped(resumption.Offset()).c_str());
            if (!m_out.Restart()) return WriteFailure();
            resumption.SetOffset(0);
            m_progress.reset();
            Report(0);
        }
        if (resumption.Offset() == 0) {
            // What guards a resumption is what the file was when it started.
            resumption.Remember(HeaderText(file, HTTP_QUERY_ETAG), HeaderText(file, HTTP_QUERY_LAST_MODIFIED));
        }
        // A file the server says is longer than the bound is refused here,
        // before its first byte, as is a declared length that cannot be stored.
        const std::uint64_t from = resumption.Offset();
        if (resumption.Total() > m_bounds.size) {
            LogEvent(L"Download of %ls refused: the server has %llu bytes, more than the %llu allowed for it",
                     m_url.c_str(), resumption.Total(), m_bounds.size);
            return Outcome::kFailed;
        }
        if (length > m_bounds.size - from) {
            LogEvent(L"Download of %ls refused: the server declares %llu bytes, more than the %llu allowed for it",
                     m_url.c_str(), from + length, m_bounds.size);
            return Outcome::kFailed;
        }
        // A 200 tells the file's size by its length.
        if (status == HTTP_STATUS_OK) resumption.SetTotal(hasLength ? length : 0);
        if (!space.Fits(length)) {
            space.LogRefusal(m_url, length);
            return Outcome::kFailed;
        }
        // The bar goes on from where it was after a resumption.
        if (!m_progress) {
            const std::uint64_t whole = resumption.Total() ? resumption.Total() : length;
            m_progress.emplace(static_cast<std::uint32_t>(std::min<std::uint64_t>(whole, UINT32_MAX)));
        }
        if (m_abandoned) return Outcome::kFailed;  // nothing more is written for an upgrade that ended

        char buffer[kReadSize];
        std::uint64_t received = 0;
        for (;;) {
            DWORD got = 0;
            if (!ReadBlock(file, buffer, kReadSize, &got)) {
                // An abandoned one says so where it was given up.
                if (m_abandoned) return Outcome::kFailed;
                return Cut(L"failed after " + std::to_wstring(from + received) + L" bytes: " +
                           WinInetError(GetLastError()));
            }
            if (got == 0) {
                // A response cut short is not the file.
                if (hasLength && received < length) {
                    return Cut(L"failed: the answer ended after " + std::to_wstring(received) + L" of the " +
                               std::to_wstring(length) + L" bytes declared");
                }
                if (resumption.Total() && from + received < resumption.Total()) {
                    return Cut(L"failed: the answer ended after " + std::to_wstring(from + received) + L" of the " +
                               std::to_wstring(resumption.Total()) + L" bytes of the file");
                }
                return m_abandoned ? Outcome::kFailed : Outcome::kDone;
            }
            received += got;
            resumption.SetOffset(from + received);
            // Nothing past the bound is written: at most one read is taken
            // beyond it, and then the download fails.
            if (from + received > m_bounds.size) {
                LogEvent(L"Download of %ls stopped: more than the %llu bytes allowed for it came", m_url.c_str(),
                         m_bounds.size);
                return Outcome::kFailed;
            }
            if (!space.Take(got)) {
                if (!m_out.Flush()) return WriteFailure();
                if (!space.Fits(got)) {
                    space.LogRefusal(m_url, got);
                    return Outcome::kFailed;
                }
            }
            if (!m_out.Write(buffer, got)) return WriteFailure();
            Report(static_cast<std::uint32_t>(m_progress->OnRead()));
        }
    }

    Outcome WriteFailure() const {
        WriteFailed();
        return Outcome::kFailed;
    }

    Outcome Cut(std::wstring why) {
        m_cut = std::move(why);
        return Outcome::kCut;
    }

    bool WriteFailed() const {
        LogLastError(L"Download of %ls failed: writing %ls", m_url.c_str(), m_path.c_str());
        return false;
    }

    const std::wstring m_url;
    const std::wstring m_path;
    OutputFile m_out;  // made on the caller's thread, while its handle is sure to be open
    DownloadBounds m_bounds;
    std::optional<FileProgress> m_progress;
    std::wstring m_cut;
    std::atomic<unsigned> m_requests{0};
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
    unsigned requests = 0;
    std::uint64_t arrivedBefore = 0;
    auto transfer = std::make_shared<Transfer>(url, path, file, bounds);
    auto* share = new std::shared_ptr<Transfer>(transfer);
    UniqueHandle thread(CreateThread(nullptr, 0, TransferThread, share, 0, nullptr));
    if (!thread) {
        LogLastError(L"Download of %ls not started: no thread for it", url.c_str());
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
        if (transfer->Requests() != requests) {
            requests = transfer->Requests();
            arrivedBefore = transfer->Arrived();
            pace = ArrivalPace(now);
        }
        const bool paced = pace.Keeps(now, transfer->Arrived() - arrivedBefore);
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
