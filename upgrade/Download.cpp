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
#include "package/UibBlocks.h"
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

// The caller's file, written at the offsets the answers' bytes belong to,
// gathered into runs so that a file system call writes many reads at once.
class OutputFile : public PieceSink {
public:
    explicit OutputFile(HANDLE file) : m_file(file) {}
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool Write(std::uint64_t offset, const unsigned char* data, std::size_t size) override {
        if ((offset != m_start + m_buffered || m_buffered + size > m_buffer.size()) && !Flush()) return false;
        if (m_buffered == 0) m_start = offset;
        if (size > m_buffer.size()) return WriteAt(offset, data, size);
        std::memcpy(m_buffer.data() + m_buffered, data, size);
        m_buffered += size;
        return true;
    }
    bool Empty() override {
        m_buffered = 0;
        LARGE_INTEGER start = {};
        return SetFilePointerEx(m_file, start, nullptr, FILE_BEGIN) && SetEndOfFile(m_file);
    }
    // Hands what is gathered to the file system.
    bool Flush() {
        const bool ok = WriteAt(m_start, m_buffer.data(), m_buffered);
        m_buffered = 0;
        return ok;
    }

private:
    bool WriteAt(std::uint64_t offset, const unsigned char* data, std::size_t size) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD written = 0;
        return size == 0 || (WriteFile(m_file, data, static_cast<DWORD>(size), &written, &at) && written == size);
    }

    HANDLE m_file;
    std::uint64_t m_start = 0;
    std::size_t m_buffered = 0;
    std::vector<unsigned char> m_buffer = std::vector<unsigned char>(64 * 1024);
};

// Pieces of a package, decoded as they come, into what they decode to: the
// installed file built directly. A piece's bytes that do not decode are
// dropped: its SHA-256 refuses it when it is whole, and it is asked again.
class DecodingSink : public PieceSink {
public:
    DecodingSink(const BlockMap& map, OutputFile& out) : m_map(map), m_out(out), m_reader(Decoded, this) {}

    void Begin(std::size_t index) override {
        const MapPiece& piece = m_map.pieces[index];
        m_reader.Start(piece.offset == 0);
        m_at = piece.decodedOffset;
        m_end = piece.decodedOffset + piece.decodedLength;
    }
    bool Write(std::uint64_t, const unsigned char* data, std::size_t size) override {
        m_reader.Add(data, size);
        return !m_writeFailed;
    }
    bool Empty() override { return m_out.Empty(); }

private:
    static bool Decoded(void* context, const unsigned char* data, std::size_t size) {
        DecodingSink* self = static_cast<DecodingSink*>(context);
        if (size > self->m_end - self->m_at) return false;  // more than the piece decodes to: not the piece
        if (!self->m_out.Write(self->m_at, data, size)) {
            self->m_writeFailed = true;
            return false;
        }
        self->m_at += size;
        return true;
    }

    const BlockMap& m_map;
    OutputFile& m_out;
    uib::BlockReader m_reader;
    std::uint64_t m_at = 0;
    std::uint64_t m_end = 0;
    bool m_writeFailed = false;
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

void SetTimeouts(HINTERNET handle) {
    DWORD timeout = kServerTimeoutMs;
    for (DWORD option :
         {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT}) {
        InternetSetOptionW(handle, option, &timeout, sizeof timeout);
    }
}

// The WinINet session of one download; every request of it, and any request
// still inside WinINet after the download gave up on it, shares it.
struct Session {
    explicit Session(std::wstring address)
        : url(std::move(address)), root(InternetOpenW(L"Marlowcast", INTERNET_OPEN_TYPE_PRECONFIG, L"", nullptr, 0)) {
        if (root) SetTimeouts(root);
    }
    const std::wstring url;
    InternetHandle root;
};

// What the answer's head says, for the download to judge.
struct AnswerHead {
    unsigned long status = 0;
    std::wstring contentRange;
    bool hasLength = false;
    std::uint64_t length = 0;
    std::wstring etag;
    std::wstring lastModified;
};

class Exchange;

// The download's side of one request: what the exchange reports, judged on
// the exchange's thread under its lock. Each returns false to end the
// exchange.
class ExchangeOwner {
public:
    virtual ~ExchangeOwner() = default;
    virtual void Unreachable(DWORD error) = 0;
    virtual void Refused() = 0;  // the exchange said why in the log
    virtual bool Head(const AnswerHead& head) = 0;
    virtual bool Body(const unsigned char* data, std::size_t size) = 0;
    virtual void ReadFailed(DWORD error) = 0;
    virtual void Ended() = 0;
};

// One request and its answer, on a thread of its own. WinINet's synchronous
// calls block until the server answers or a time-out passes, and Windows
// allows no other thread to close a handle that such a call is using. So the
// download only waits for this one, and stops waiting when it gives up on it
// (the shutdown, a pace not kept): the exchange then ends by itself at its
// next read or time-out, and owns its handles until then. What it reports
// goes to its owner under a lock that Abandon also takes, so that nothing of
// an abandoned exchange reaches the file once Abandon has returned.
class Exchange {
public:
    Exchange(std::shared_ptr<Session> session, std::wstring headers, ExchangeOwner* owner)
        : m_session(std::move(session)), m_headers(std::move(headers)), m_owner(owner) {}

    void Run();
    void Abandon() {
        std::lock_guard<std::mutex> hold(m_lock);
        m_owner = nullptr;
        m_abandoned = true;
    }
    // The answer's bytes that have arrived so far, for the pace.
    std::uint64_t Arrived() const { return m_arrived; }

private:
    // Calls `report` with the owner under the lock; false once abandoned.
    template <typename Report>
    bool Tell(Report report) {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_owner && report(*m_owner);
    }
    bool Open(HINTERNET* connection, HINTERNET* request);
    bool ReadBlock(HINTERNET file, unsigned char* block, DWORD size, DWORD* got);

    const std::shared_ptr<Session> m_session;
    const std::wstring m_headers;
    std::mutex m_lock;
    ExchangeOwner* m_owner;
    std::atomic<bool> m_abandoned{false};
    std::atomic<std::uint64_t> m_arrived{0};
};

// Opens the request for the URL, with the time-outs in force from the start:
// Windows lets a request take them from the root handle, and some WinINet
// implementations honour them only on the request itself.
bool Exchange::Open(HINTERNET* connection, HINTERNET* request) {
    wchar_t host[256] = {}, path[2048] = {};
    URL_COMPONENTSW url = {};
    url.dwStructSize = sizeof url;
    url.lpszHostName = host;
    url.dwHostNameLength = 256;
    url.lpszUrlPath = path;
    url.dwUrlPathLength = 2048;
    if (!m_session->root || !InternetCrackUrlW(m_session->url.c_str(), 0, 0, &url)) return false;
    if (url.nScheme != INTERNET_SCHEME_HTTP && url.nScheme != INTERNET_SCHEME_HTTPS) {
        SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
        return false;
    }
    *connection = InternetConnectW(m_session->root, host, url.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    if (!*connection) return false;
    // Always from the server, and nothing of it into the user's cache: an
    // upgrade is written to disk once. The certificate of an https server is
    // checked, and no error of it is ever ignored.
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                        (url.nScheme == INTERNET_SCHEME_HTTPS ? INTERNET_FLAG_SECURE : 0);
    *request = HttpOpenRequestW(*connection, L"GET", path, nullptr, nullptr, nullptr, flags, 0);
    if (!*request) return false;
    SetTimeouts(*request);
    // An answer we refuse or cut short is dropped with its handle, and
    // Windows discards what is outstanding; the range asked for (Resumption)
    // keeps a server that honours ranges from sending more than is wanted.
    return HttpSendRequestW(*request, m_headers.c_str(), static_cast<DWORD>(-1), nullptr, 0) != FALSE;
}

// Reads one block of up to size bytes. InternetReadFile returns only when
// the whole request is filled or the data ends, which at a trickle takes
// minutes; so we ask for no more than has arrived, and give up between
// pieces once abandoned. A block still counts as one read for the progress,
// as a full 1024-byte read did.
bool Exchange::ReadBlock(HINTERNET file, unsigned char* block, DWORD size, DWORD* got) {
    *got = 0;
    while (*got < size) {
        if (m_abandoned) return false;
        DWORD available = 0;
        if (!InternetQueryDataAvailable(file, &available, 0, 0)) return false;
        if (available == 0) break;  // the end of the data
        DWORD piece = 0;
        if (!InternetReadFile(file, block + *got, std::min(available, size - *got), &piece)) return false;
        if (piece == 0) break;
        *got += piece;
        m_arrived += piece;
    }
    return true;
}

void Exchange::Run() {
    HINTERNET connection = nullptr, request = nullptr;
    const bool opened = Open(&connection, &request);
    const DWORD openError = opened ? 0 : GetLastError();
    InternetHandle ownConnection(connection), file(request);
    if (!opened) {
        Tell([&](ExchangeOwner& owner) { return owner.Unreachable(openError), true; });
        return;
    }
    // Windows refuses a redirect from https to plain http unless told
    // otherwise; whatever the platform did, such an answer is not used.
    wchar_t answered[2048] = {};
    DWORD answeredSize = sizeof answered;
    const std::wstring& url = m_session->url;
    if (StartsWithHttps(url.c_str()) &&
        (!InternetQueryOptionW(file, INTERNET_OPTION_URL, answered, &answeredSize) || !StartsWithHttps(answered))) {
        LogEvent(L"Download of %ls refused: answered from %ls, not over https", url.c_str(),
                 answered[0] ? answered : L"an address WinINet does not tell");
        Tell([](ExchangeOwner& owner) { return owner.Refused(), true; });
        return;
    }
    // A missing file or a server error has a body too; it must not be
    // installed as if it were the file.
    AnswerHead head;
    DWORD statusSize = sizeof head.status, index = 0;
    if (!HttpQueryInfoW(file, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &head.status, &statusSize, &index)) {
        LogEvent(L"Download of %ls failed: no HTTP status, %ls", url.c_str(), WinInetError(GetLastError()).c_str());
        Tell([](ExchangeOwner& owner) { return owner.Refused(), true; });
        return;
    }
    head.contentRange = HeaderText(file, HTTP_QUERY_CONTENT_RANGE);
    wchar_t lengthText[32] = {};
    DWORD lengthSize = sizeof lengthText;
    index = 0;
    head.hasLength = HttpQueryInfoW(file, HTTP_QUERY_CONTENT_LENGTH, lengthText, &lengthSize, &index) != FALSE;
    head.length = head.hasLength ? _wcstoui64(lengthText, nullptr, 10) : 0;
    head.etag = HeaderText(file, HTTP_QUERY_ETAG);
    head.lastModified = HeaderText(file, HTTP_QUERY_LAST_MODIFIED);
    if (!Tell([&](ExchangeOwner& owner) { return owner.Head(head); })) return;

    unsigned char buffer[kReadSize];
    for (;;) {
        DWORD got = 0;
        if (!ReadBlock(file, buffer, kReadSize, &got)) {
            const DWORD error = GetLastError();
            Tell([&](ExchangeOwner& owner) { return owner.ReadFailed(error), true; });
            return;
        }
        if (got == 0) {
            Tell([](ExchangeOwner& owner) { return owner.Ended(), true; });
            return;
        }
        if (!Tell([&](ExchangeOwner& owner) { return owner.Body(buffer, got); })) return;
    }
}

DWORD WINAPI ExchangeThread(LPVOID param) {
    // The thread holds its own share of the exchange, so that an abandoned
    // one lives until it has ended.
    std::unique_ptr<std::shared_ptr<Exchange>> exchange(static_cast<std::shared_ptr<Exchange>*>(param));
    try {
        (*exchange)->Run();
    } catch (...) {
        // Nothing may unwind out of a thread; the owner hears nothing, and its
        // wait sees the thread end without an answer.
    }
    return 0;
}

// The threads of abandoned exchanges, kept until the process ends so that
// its end can tell whether one is still inside WinINet.
std::mutex g_abandonedLock;
std::vector<UniqueHandle> g_abandoned;

// One download: its requests one after the other, each judged by the
// Resumption, on the caller's thread, which also keeps the pace, the
// deadline and the stop flag.
class Fetch : public ExchangeOwner {
public:
    Fetch(const std::wstring& url, const std::wstring& path, const StopFlag& running,
          const std::function<void(std::uint32_t)>& onRead, const DownloadBounds& bounds, Resumption& resumption,
          OutputFile& out, PieceSink& sink)
        : m_url(url),
          m_path(path),
          m_running(running),
          m_onRead(onRead),
          m_bounds(bounds),
          m_resumption(resumption),
          m_out(out),
          m_sink(sink),
          m_space(bounds.freeSpace, path) {
        if (!m_bounds.clock) m_bounds.clock = AwakeMilliseconds;
    }

    bool Run();
    std::uint64_t Fetched() const { return m_fetched; }

private:
    // How an exchange ended: the range asked for is in, the download has
    // failed (and said why), the answer was cut (m_cut says where and why),
    // or a piece came wrong and is asked for again.
    enum class End { kNone, kWhole, kFailed, kCut, kAgain };

    void Unreachable(DWORD error) override;
    void Refused() override { m_end = End::kFailed; }
    bool Head(const AnswerHead& head) override;
    bool Body(const unsigned char* data, std::size_t size) override;
    void ReadFailed(DWORD error) override;
    void Ended() override;

    End RunExchange(const std::shared_ptr<Session>& session);
    bool Wait(std::uint64_t ms);
    bool Fail();
    void Report(std::uint32_t position) {
        std::lock_guard<std::mutex> hold(m_positionsLock);
        m_positions.push_back(position);
    }
    void WriteFailed() {
        LogLastError(L"Download of %ls failed: writing %ls", m_url.c_str(), m_path.c_str());
        m_end = End::kFailed;
    }
    void Cut(std::wstring why) {
        m_cut = std::move(why);
        m_end = End::kCut;
    }

    const std::wstring& m_url;
    const std::wstring& m_path;
    const StopFlag& m_running;
    const std::function<void(std::uint32_t)>& m_onRead;
    DownloadBounds m_bounds;
    Resumption& m_resumption;
    OutputFile& m_out;
    PieceSink& m_sink;
    FreeSpaceGuard m_space;
    std::optional<FileProgress> m_progress;  // unchecked: a step per read
    std::vector<std::uint32_t> m_positions;  // the bar's, for the caller's thread
    std::wstring m_cut;
    End m_end = End::kNone;
    unsigned m_requests = 0;
    bool m_hasLength = false;  // of the answer under way
    std::uint64_t m_length = 0;
    std::uint64_t m_received = 0;
    std::uint64_t m_fetched = 0;  // of every answer
    std::mutex m_positionsLock;
};

void Fetch::Unreachable(DWORD error) {
    // A server that went away for a moment is a cut; one never reached is not.
    if (m_requests > 1) return Cut(L"failed: " + WinInetError(error));
    LogEvent(L"Download of %ls failed: %ls", m_url.c_str(), WinInetError(error).c_str());
    m_end = End::kFailed;
}

bool Fetch::Head(const AnswerHead& head) {
    m_received = 0;
    const Resumption::Answer answer = m_resumption.Judge(head.status, head.contentRange);
    if (answer == Resumption::Answer::kRefused) {
        LogEvent(L"Download of %ls failed: %ls", m_url.c_str(), m_resumption.Why().c_str());
        m_end = End::kFailed;
        return false;
    }
    if (answer == Resumption::Answer::kFromStart) {
        if (m_resumption.Checked()) {
            LogEvent(
                L"Download of %ls starts again from 0: the server sent the whole file for a range (it ignored the "
                L"range, or the file changed); the pieces held already are kept",
                m_url.c_str());
        } else {
            LogEvent(
                L"Download of %ls starts again from 0: the server sent the whole file for the rest (it ignored the "
                L"range, or the file changed)",
                m_url.c_str());
            if (!m_sink.Empty()) return WriteFailed(), false;
            m_progress.reset();
            Report(0);
        }
    }
    // What guards a resumption is what the file was when it started: the
    // first answer's validators, or a 200's, which is the file as it is now.
    if (head.status == HTTP_STATUS_OK || !m_resumption.HasValidator()) {
        m_resumption.Remember(head.etag, head.lastModified);
    }
    // A file the server says is longer than the bound is refused here, before
    // its first byte, as is a declared length that cannot be stored.
    const std::uint64_t from = m_resumption.Offset();
    if (m_resumption.Total() > m_bounds.size) {
        LogEvent(L"Download of %ls refused: the server has %llu bytes, more than the %llu allowed for it",
                 m_url.c_str(), m_resumption.Total(), m_bounds.size);
        m_end = End::kFailed;
        return false;
    }
    if (head.length > m_bounds.size - from) {
        LogEvent(L"Download of %ls refused: the server declares %llu bytes, more than the %llu allowed for it",
                 m_url.c_str(), from + head.length, m_bounds.size);
        m_end = End::kFailed;
        return false;
    }
    // A 200 tells the file's size by its length.
    if (head.status == HTTP_STATUS_OK) m_resumption.SetTotal(head.hasLength ? head.length : 0);
    if (!m_space.Fits(head.length)) {
        m_space.LogRefusal(m_url, head.length);
        m_end = End::kFailed;
        return false;
    }
    // The bar goes on from where it was after a resumption.
    if (!m_resumption.Checked() && !m_progress) {
        const std::uint64_t whole = m_resumption.Total() ? m_resumption.Total() : head.length;
        m_progress.emplace(static_cast<std::uint32_t>(std::min<std::uint64_t>(whole, UINT32_MAX)));
    }
    m_hasLength = head.hasLength;
    m_length = head.length;
    return true;
}

bool Fetch::Body(const unsigned char* data, std::size_t size) {
    m_received += size;
    m_fetched += size;
    if (!m_space.Take(size)) {
        if (!m_out.Flush()) return WriteFailed(), false;
        if (!m_space.Fits(size)) {
            m_space.LogRefusal(m_url, size);
            m_end = End::kFailed;
            return false;
        }
    }
    const std::uint64_t held = m_resumption.Held();
    switch (m_resumption.Take(data, size, m_sink)) {
        case Resumption::Took::kMore: break;
        case Resumption::Took::kWrongPiece:
            LogEvent(
                L"Download of %ls: the piece at %ls bytes came wrong (its SHA-256 is not the one signed); asking "
                L"for it again",
                m_url.c_str(), Grouped(m_resumption.Offset()).c_str());
            m_end = End::kAgain;
            return false;
        case Resumption::Took::kWrongTwice:
            LogEvent(L"Download of %ls failed: the piece at %ls bytes came wrong twice", m_url.c_str(),
                     Grouped(m_resumption.Offset()).c_str());
            m_end = End::kFailed;
            return false;
        case Resumption::Took::kTooLong:
            // Nothing past the bound is written: at most one read is taken
            // beyond it, and then the download fails.
            LogEvent(L"Download of %ls stopped: more than the %llu bytes allowed for it came", m_url.c_str(),
                     m_bounds.size);
            m_end = End::kFailed;
            return false;
        case Resumption::Took::kWriteFailed: return WriteFailed(), false;
    }
    if (!m_resumption.Checked()) {
        Report(static_cast<std::uint32_t>(m_progress->OnRead()));
        return true;
    }
    if (m_resumption.Held() != held) {
        Report(
            static_cast<std::uint32_t>(std::min<std::uint64_t>(99, m_resumption.Held() * 100 / m_resumption.Whole())));
    }
    // Whatever follows the range asked for is not read: its pieces are in
    // and checked.
    if (m_resumption.Offset() < m_resumption.RangeEnd()) return true;
    m_end = End::kWhole;
    return false;
}

void Fetch::ReadFailed(DWORD error) {
    Cut(L"failed after " + std::to_wstring(m_resumption.Offset()) + L" bytes: " + WinInetError(error));
}

void Fetch::Ended() {
    // A response cut short is not the file.
    if (m_hasLength && m_received < m_length) {
        return Cut(L"failed: the answer ended after " + std::to_wstring(m_received) + L" of the " +
                   std::to_wstring(m_length) + L" bytes declared");
    }
    const std::uint64_t end = m_resumption.Checked() ? m_resumption.RangeEnd() : m_resumption.Total();
    if (end && m_resumption.Offset() < end) {
        return Cut(L"failed: the answer ended after " + std::to_wstring(m_resumption.Offset()) + L" of the " +
                   std::to_wstring(end) + L" bytes " + (m_resumption.Checked() ? L"asked for" : L"of the file"));
    }
    m_end = End::kWhole;
}

// Runs one exchange to its end, or until the download gives up on it.
Fetch::End Fetch::RunExchange(const std::shared_ptr<Session>& session) {
    m_end = End::kNone;
    ++m_requests;
    auto exchange = std::make_shared<Exchange>(session, m_resumption.RequestHeaders(), this);
    auto* share = new std::shared_ptr<Exchange>(exchange);
    UniqueHandle thread(CreateThread(nullptr, 0, ExchangeThread, share, 0, nullptr));
    if (!thread) {
        LogLastError(L"Download of %ls not started: no thread for it", m_url.c_str());
        delete share;
        return End::kFailed;
    }
    // Watched from here, so that an answer's header that trickles (which
    // keeps WinINet inside one call) is held to the pace as well.
    ArrivalPace pace(m_bounds.clock());
    for (;;) {
        const bool ended = WaitForSingleObject(thread.Get(), kWaitStepMs) == WAIT_OBJECT_0;
        std::vector<std::uint32_t> positions;
        {
            std::lock_guard<std::mutex> hold(m_positionsLock);
            positions.swap(m_positions);
        }
        for (std::uint32_t position : positions) m_onRead(position);
        if (ended) return m_end == End::kNone ? End::kFailed : m_end;
        const std::uint64_t now = m_bounds.clock();
        const bool paced = pace.Keeps(now, exchange->Arrived());
        const bool inTime = m_bounds.deadlineMs == 0 || now <= m_bounds.deadlineMs;
        if (m_running.IsRunning() && paced && inTime) continue;
        exchange->Abandon();
        {
            std::lock_guard<std::mutex> hold(g_abandonedLock);
            g_abandoned.push_back(std::move(thread));
        }
        if (!m_running.IsRunning()) {
            LogEvent(L"Download of %ls abandoned: Quillstone is shutting down", m_url.c_str());
            return End::kFailed;
        }
        if (!inTime) {
            LogEvent(L"Download of %ls stopped: not over by the time allowed for it", m_url.c_str());
            return End::kFailed;
        }
        // A trickle is a cut like any other: the next request may find a
        // better path or a server that recovered.
        m_cut = L"stopped: fewer than " + std::to_wstring(kPaceBytes) + L" bytes came in " +
                std::to_wstring(kPaceWindowMs / 1000) + L" s (" + std::to_wstring(exchange->Arrived()) +
                L" bytes in all)";
        return End::kCut;
    }
}

bool Fetch::Run() {
    const std::uint64_t started = AwakeMilliseconds();
    auto session = std::make_shared<Session>(m_url);
    if (!session->root) {
        LogEvent(L"Download of %ls failed: WinINet did not open, %ls", m_url.c_str(),
                 WinInetError(GetLastError()).c_str());
        return Fail();
    }
    while (!(m_resumption.Checked() && m_resumption.Complete())) {
        const End end = RunExchange(session);
        if (end == End::kFailed) return Fail();
        if (end == End::kAgain || (end == End::kWhole && m_resumption.Checked())) continue;
        if (end == End::kWhole) break;
        m_resumption.Cut();
        if (!m_resumption.CanResume()) {
            LogEvent(L"Download of %ls %ls", m_url.c_str(), m_cut.c_str());
            return Fail();
        }
        const std::uint64_t wait = m_resumption.Next();
        // A checked download goes back to the start of the piece it was cut in.
        const std::wstring from =
            m_resumption.NextStart() == m_resumption.Offset() ? L"" : L" from " + Grouped(m_resumption.NextStart());
        LogEvent(L"Download of %ls (%ls) cut at %ls bytes: resuming%ls (%d of %d)", m_url.c_str(), m_cut.c_str(),
                 Grouped(m_resumption.Offset()).c_str(), from.c_str(), m_resumption.Count(),
                 Resumption::kMaxResumptions);
        if (!Wait(wait)) return Fail();
    }
    if (!m_out.Flush()) {
        WriteFailed();
        return Fail();
    }
    m_onRead(FileProgress::Done());
    const std::wstring resumed = m_resumption.Count()
                                     ? L", resumed " + std::to_wstring(m_resumption.Count()) + L" of " +
                                           std::to_wstring(Resumption::kMaxResumptions) + L" times allowed"
                                     : L"";
    LogEvent(L"Downloaded %ls: %llu bytes in %.2f s%ls", m_url.c_str(), m_fetched,
             (AwakeMilliseconds() - started) / 1000.0, resumed.c_str());
    return true;
}

// Waits on the download's clock; false when the download is to end meanwhile
// (the shutdown does not wait for a resumption).
bool Fetch::Wait(std::uint64_t ms) {
    const std::uint64_t due = m_bounds.clock() + ms;
    while (m_bounds.clock() < due) {
        if (!m_running.IsRunning()) {
            LogEvent(L"Download of %ls abandoned: Quillstone is shutting down", m_url.c_str());
            return false;
        }
        Sleep(10);
    }
    return true;
}

// An unchecked download that fails leaves the file empty; a checked one
// keeps the pieces it checked, for the next try.
bool Fetch::Fail() {
    if (m_resumption.Checked()) {
        m_out.Flush();
    } else {
        m_sink.Empty();
    }
    return false;
}

}  // namespace

bool DownloadFile(const std::wstring& url, const std::wstring& path, HANDLE file, const StopFlag& running,
                  const std::function<void(std::uint32_t)>& onRead, const DownloadBounds& bounds) {
    OutputFile out(file);
    Resumption resumption(bounds.size);
    return Fetch(url, path, running, onRead, bounds, resumption, out, out).Run();
}

bool DownloadPieces(const std::wstring& url, const std::wstring& path, HANDLE file, const StopFlag& running,
                    const std::function<void(std::uint32_t)>& onRead, const DownloadBounds& bounds, const BlockMap& map,
                    std::vector<bool> held, bool decode, std::uint64_t* fetched) {
    OutputFile out(file);
    DecodingSink decoding(map, out);
    Resumption resumption(map, std::move(held), decode);
    DownloadBounds checked = bounds;
    checked.size = map.size;
    Fetch fetch(url, path, running, onRead, checked, resumption, out, decode ? static_cast<PieceSink&>(decoding) : out);
    const bool ok = fetch.Run();
    if (fetched) *fetched = fetch.Fetched();
    return ok;
}

std::wstring Grouped(std::uint64_t value) {
    std::wstring digits = std::to_wstring(value);
    for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, 1, L',');
    return digits;
}

bool AbandonedDownloadRunning() {
    std::lock_guard<std::mutex> hold(g_abandonedLock);
    for (const UniqueHandle& thread : g_abandoned) {
        if (WaitForSingleObject(thread.Get(), 0) == WAIT_TIMEOUT) return true;
    }
    return false;
}
