#pragma once
// What a download asks the server for, and what it makes of the answers: the
// decisions of a download, without HTTP's transport, so that a scripted
// server can drive them.
//
// Unchecked (no block map: a build without a publisher's key, or a signed
// document): the whole file, and after a cut the rest from the last byte
// stored, guarded by If-Range with what the first answer said about the
// file, so that a file that changed on the server meanwhile comes whole
// again instead of being appended to the part already stored.
//
// Checked (a signed block map): only the pieces not held yet, adjacent ones
// in one range, each checked against its SHA-256 as it completes; after a
// cut the rest from the end of the last checked piece. A piece that comes
// wrong is asked for once more; wrong twice ends the download. A 200 to a
// range (a server that ignores ranges, or a file that changed) brings the
// whole file: its pieces are checked as they pass, and the ones held already
// are kept.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "trust/BlockMap.h"

// Where the bytes of an answer go.
class PieceSink {
public:
    virtual ~PieceSink() = default;
    // The bytes that follow are piece `index` from its first byte (checked
    // downloads only).
    virtual void Begin(std::size_t /*index*/) {}
    // Bytes of the served file from `offset`; false when they cannot be stored.
    virtual bool Write(std::uint64_t offset, const unsigned char* data, std::size_t size) = 0;
    // Empties what was stored, for an unchecked download that starts again.
    virtual bool Empty() = 0;
};

class Resumption {
public:
    static constexpr int kMaxResumptions = 5;

    // What the answer to a request means for the file.
    enum class Answer {
        kContinue,   // the bytes from Offset() on
        kFromStart,  // the whole file from its first byte: the server ignored the range or the file changed
        kRefused,    // not the file, nor its rest: the download fails
    };
    // What the bytes of an answer did.
    enum class Took {
        kMore,         // stored; go on reading
        kWrongPiece,   // a piece came wrong: end this answer, the piece is asked for again
        kWrongTwice,   // the same piece came wrong again: the download fails
        kTooLong,      // unchecked: more than the file may have
        kWriteFailed,  // the sink could not store them
    };

    // Unchecked; `bound`: the most bytes the file may have (UINT64_MAX: no bound).
    explicit Resumption(std::uint64_t bound);
    // Checked against `map`; `held[i]`: piece i is stored and checked already.
    // `decoded`: what is stored is what the pieces decode to, and the
    // progress counts that.
    Resumption(const BlockMap& map, std::vector<bool> held, bool decoded);

    bool Checked() const { return m_map != nullptr; }
    // Checked: every piece is held.
    bool Complete() const { return m_missing == 0; }

    // The request headers of the next request. Unchecked: the whole file,
    // or its rest; a bounded one asks for one byte more than the bound at
    // most, so a server that honours ranges never sends more than that.
    // Checked: the next run of missing pieces.
    std::wstring RequestHeaders();

    // Judges the answer's status and Content-Range ("" when it has none). On
    // kRefused, Why() says why in words for the log.
    Answer Judge(unsigned long status, const std::wstring& contentRange);
    const std::wstring& Why() const { return m_why; }

    // The first usable answer's validators: a strong ETag guards a resumption;
    // without one, Last-Modified does; without either, an unchecked download
    // has none.
    void Remember(const std::wstring& etag, const std::wstring& lastModified);
    bool HasValidator() const { return !m_validator.empty(); }
    // The file's whole size when an answer told it (Content-Length of a 200,
    // the total of a Content-Range), or 0.
    std::uint64_t Total() const { return m_total; }
    void SetTotal(std::uint64_t total) { m_total = total; }

    // Where the answer's next byte belongs in the served file; unchecked,
    // also the bytes stored so far.
    std::uint64_t Offset() const { return m_offset; }
    // Checked: where the range asked for ends; the answer is whole there.
    std::uint64_t RangeEnd() const { return m_rangeEnd; }
    // Where the next request starts: unchecked, the bytes stored; checked,
    // the first piece still missing.
    std::uint64_t NextStart() const;

    // Takes the answer's next bytes: stores what is not held yet through
    // `sink`, and checks each piece as it completes.
    Took Take(const unsigned char* data, std::size_t size, PieceSink& sink);
    // After an answer that ended short: what came of a piece not yet whole
    // is dropped, and the next request starts where it started.
    void Cut();

    // Whether a cut may be resumed: fewer than kMaxResumptions were made, and
    // the file is checked piece by piece or guarded by a validator.
    bool CanResume() const { return (Checked() || HasValidator()) && m_count < kMaxResumptions; }
    // Counts one more resumption; returns the wait before it: 1, 2, 4, 8 and
    // 16 s, so that a server that restarts or a link that comes back has time.
    std::uint64_t Next() { return 1000ull << m_count++; }
    int Count() const { return m_count; }

    // Checked: the stored bytes that are checked (of what the pieces decode
    // to, when `decoded`), of Whole() in all.
    std::uint64_t Held() const { return m_held; }
    std::uint64_t Whole() const;

private:
    std::uint64_t Weight(std::size_t index) const;

    const std::uint64_t m_bound;
    const BlockMap* m_map = nullptr;
    std::vector<bool> m_have;
    std::vector<int> m_wrong;
    bool m_decoded = false;
    std::size_t m_missing = 0;
    std::uint64_t m_held = 0;
    std::uint64_t m_rangeStart = 0;
    std::uint64_t m_rangeEnd = 0;
    std::size_t m_piece = 0;  // the piece the next byte belongs to
    Sha256 m_sha;             // of that piece's bytes so far
    std::wstring m_validator;
    std::wstring m_why;
    std::uint64_t m_offset = 0;
    std::uint64_t m_total = 0;
    int m_count = 0;
};
