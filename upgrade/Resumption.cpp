#include "upgrade/Resumption.h"

#include <algorithm>
#include <cwchar>

namespace {

constexpr unsigned long kOk = 200;
constexpr unsigned long kPartial = 206;

// "bytes 100-199/1000": 1000; 0 when the total is "*" or missing.
std::uint64_t RangeTotal(const std::wstring& contentRange) {
    const std::size_t slash = contentRange.find(L'/');
    if (slash == std::wstring::npos || contentRange.compare(slash + 1, 1, L"*") == 0) return 0;
    return std::wcstoull(contentRange.c_str() + slash + 1, nullptr, 10);
}

}  // namespace

Resumption::Resumption(std::uint64_t bound) : m_bound(bound) {}

Resumption::Resumption(const BlockMap& map, std::vector<bool> held, bool decoded)
    : m_bound(map.size), m_map(&map), m_have(std::move(held)), m_wrong(map.pieces.size()), m_decoded(decoded) {
    m_have.resize(map.pieces.size());
    for (std::size_t i = 0; i < m_have.size(); ++i) {
        if (m_have[i]) {
            m_held += Weight(i);
        } else {
            ++m_missing;
        }
    }
}

std::uint64_t Resumption::Weight(std::size_t index) const {
    return m_decoded ? m_map->pieces[index].decodedLength : m_map->pieces[index].length;
}

std::uint64_t Resumption::Whole() const {
    if (!Checked()) return m_total;
    return m_decoded ? m_map->decodedSize : m_map->size;
}

std::wstring Resumption::RequestHeaders() {
    // An answer we refuse or cut short is dropped with its handle, and the
    // connection is not kept for another request.
    std::wstring headers = L"Connection: close\r\n";
    std::uint64_t from = m_offset;
    std::wstring to;
    if (Checked()) {
        // The first missing piece and those after it, across gaps of one held
        // piece: asking for a held piece again costs less than a request.
        std::size_t first = 0;
        while (first < m_have.size() && m_have[first]) ++first;
        if (first == m_have.size()) return headers;
        std::size_t last = first;
        for (std::size_t i = first + 1; i < m_have.size() && i <= last + 2; ++i) {
            if (!m_have[i]) last = i;
        }
        const MapPiece& end = m_map->pieces[last];
        m_piece = first;
        m_sha.Reset();
        m_offset = from = m_rangeStart = m_map->pieces[first].offset;
        m_rangeEnd = end.offset + end.length;
        // A range even for the whole file: a server with another file there
        // sends no more than the signed size before it is refused.
        to = std::to_wstring(m_rangeEnd - 1);
    } else {
        const bool bounded = m_bound > 0 && m_bound < UINT64_MAX;
        if (m_offset == 0 && !bounded) return headers;
        if (bounded) to = std::to_wstring(m_bound);
    }
    headers += L"Range: bytes=" + std::to_wstring(from) + L"-" + to + L"\r\n";
    if (from > 0 && !m_validator.empty()) headers += L"If-Range: " + m_validator + L"\r\n";
    return headers;
}

Resumption::Answer Resumption::Judge(unsigned long status, const std::wstring& contentRange) {
    m_why.clear();
    const std::uint64_t from = Checked() ? m_rangeStart : m_offset;
    const bool ranged = Checked() || from > 0 || (m_bound > 0 && m_bound < UINT64_MAX);
    // A 200 to a ranged request: the server ignored the range, or the file
    // changed and If-Range asked for it whole.
    if (status == kOk) {
        m_offset = 0;
        if (Checked()) {
            m_piece = 0;
            m_sha.Reset();
            m_rangeStart = 0;
            m_rangeEnd = m_map->size;
        }
        return from == 0 ? Answer::kContinue : Answer::kFromStart;
    }
    if (status != kPartial || !ranged) {
        m_why = L"HTTP status " + std::to_wstring(status);
        return Answer::kRefused;
    }
    const std::wstring start = L"bytes " + std::to_wstring(from) + L"-";
    if (contentRange.compare(0, start.size(), start) != 0) {
        m_why = L"HTTP status 206 for a range that does not start at " + std::to_wstring(from) + L" (\"" +
                contentRange + L"\")";
        return Answer::kRefused;
    }
    if (const std::uint64_t total = RangeTotal(contentRange)) {
        m_total = total;
        if (Checked() && total != m_map->size) {
            m_why = L"the server has " + std::to_wstring(total) + L" bytes, the manifest signs for " +
                    std::to_wstring(m_map->size);
            return Answer::kRefused;
        }
    }
    return Answer::kContinue;
}

void Resumption::Remember(const std::wstring& etag, const std::wstring& lastModified) {
    // A weak ETag ("W/...") may name a file that differs byte for byte; HTTP
    // does not let If-Range use it.
    if (etag.size() >= 2 && etag.front() == L'"' && etag.back() == L'"') {
        m_validator = etag;
    } else {
        m_validator = lastModified;
    }
}

Resumption::Took Resumption::Take(const unsigned char* data, std::size_t size, PieceSink& sink) {
    if (!Checked()) {
        // Nothing past the bound is stored: the read that crosses it ends the download.
        if (size > m_bound - m_offset) return Took::kTooLong;
        if (!sink.Write(m_offset, data, size)) return Took::kWriteFailed;
        m_offset += size;
        return Took::kMore;
    }
    // Nothing after the range asked for is taken: its pieces are in.
    while (size > 0 && m_offset < m_rangeEnd) {
        const MapPiece& piece = m_map->pieces[m_piece];
        const std::uint64_t pieceEnd = piece.offset + piece.length;
        const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(size, pieceEnd - m_offset));
        if (!m_have[m_piece]) {
            if (m_offset == piece.offset) sink.Begin(m_piece);
            if (!sink.Write(m_offset, data, part)) return Took::kWriteFailed;
            m_sha.Add(data, part);
        }
        m_offset += part, data += part, size -= part;
        if (m_offset < pieceEnd) break;
        if (!m_have[m_piece]) {
            if (m_sha.Finish() != piece.sha256) {
                m_offset = piece.offset;
                return ++m_wrong[m_piece] >= 2 ? Took::kWrongTwice : Took::kWrongPiece;
            }
            m_have[m_piece] = true;
            --m_missing;
            m_held += Weight(m_piece);
        }
        ++m_piece;
    }
    return Took::kMore;
}

std::uint64_t Resumption::NextStart() const {
    if (!Checked()) return m_offset;
    for (std::size_t i = 0; i < m_have.size(); ++i) {
        if (!m_have[i]) return m_map->pieces[i].offset;
    }
    return m_map->size;
}

void Resumption::Cut() {
    if (!Checked()) return;
    // The next request starts at the first piece still missing.
    m_sha.Reset();
}
