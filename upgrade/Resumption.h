#pragma once
// What a download does when its answer ends early (the connection drops, the
// answer stops short of its length, a read fails): it asks for the rest
// from the last byte stored, guarded by If-Range with what the first answer
// said about the file, so that a file that changed on the server meanwhile
// comes whole again instead of being appended to the part already stored.
// This class holds those decisions and nothing of HTTP's transport, so that a
// scripted server can drive them.

#include <cstdint>
#include <string>

class Resumption {
public:
    static constexpr int kMaxResumptions = 5;

    // What the answer to a request means for the file.
    enum class Answer {
        kContinue,   // the bytes from Offset() on: append them
        kFromStart,  // the whole file: empty what is stored and start again
        kRefused,    // not the file, nor its rest: the download fails
    };

    // `bound`: the most bytes the file may have (UINT64_MAX: no bound).
    explicit Resumption(std::uint64_t bound) : m_bound(bound) {}

    // The request headers of the next request. The first asks for the file
    // from its first byte; a bounded one for one byte more than the bound at
    // most, so a server that honours ranges never sends more than that.
    std::wstring RequestHeaders() const;

    // Judges the answer's status and Content-Range ("" when it has none). On
    // kRefused, Why() says why in words for the log.
    Answer Judge(unsigned long status, const std::wstring& contentRange);
    const std::wstring& Why() const { return m_why; }

    // The first usable answer's validators: a strong ETag guards a resumption;
    // without one, Last-Modified does; without either there is none.
    void Remember(const std::wstring& etag, const std::wstring& lastModified);
    // The file's whole size when an answer told it (Content-Length of a 200,
    // the total of a Content-Range), or 0.
    std::uint64_t Total() const { return m_total; }
    void SetTotal(std::uint64_t total) { m_total = total; }

    // Bytes of the file stored so far, from its first byte.
    std::uint64_t Offset() const { return m_offset; }
    void SetOffset(std::uint64_t stored) { m_offset = stored; }

    // Whether a cut may be resumed: the file is guarded by a validator and
    // fewer than kMaxResumptions were made.
    bool CanResume() const { return !m_validator.empty() && m_count < kMaxResumptions; }
    // Counts one more resumption; returns the wait before it: 1, 2, 4, 8 and
    // 16 s, so that a server that restarts or a link that comes back has time.
    std::uint64_t Next();
    int Count() const { return m_count; }

private:
    const std::uint64_t m_bound;
    std::wstring m_validator;
    std::wstring m_why;
    std::uint64_t m_offset = 0;
    std::uint64_t m_total = 0;
    int m_count = 0;
};
