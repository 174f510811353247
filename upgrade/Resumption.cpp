#include "upgrade/Resumption.h"

#include <cwchar>

namespace {

constexpr unsigned long kOk = 200;
constexpr unsigned long kPartial = 206;

}  // namespace

std::wstring Resumption::RequestHeaders() const {
    // An answer we refuse or cut short is dropped with its handle, and the
    // connection is not kept for another request.
    std::wstring headers = L"Connection: close\r\n";
    const bool bounded = m_bound > 0 && m_bound < UINT64_MAX;
    if (m_offset == 0 && !bounded) return headers;
    headers += L"Range: bytes=" + std::to_wstring(m_offset) + L"-";
    if (bounded) headers += std::to_wstring(m_bound);
    headers += L"\r\n";
    if (m_offset > 0) headers += L"If-Range: " + m_validator + L"\r\n";
    return headers;
}

Resumption::Answer Resumption::Judge(unsigned long status, const std::wstring& contentRange) {
    m_why.clear();
    const bool ranged = m_offset > 0 || (m_bound > 0 && m_bound < UINT64_MAX);
    // A 200 to a ranged request: the server ignored the range, or the file
    // changed and If-Range asked for it whole.
    if (status == kOk) return m_offset == 0 ? Answer::kContinue : Answer::kFromStart;
    if (status != kPartial || !ranged) {
        m_why = L"HTTP status " + std::to_wstring(status);
        return Answer::kRefused;
    }
    const std::wstring start = L"bytes " + std::to_wstring(m_offset) + L"-";
    if (contentRange.compare(0, start.size(), start) != 0) {
        m_why = L"HTTP status 206 for a range that does not start at " + std::to_wstring(m_offset) + L" (\"" +
                contentRange + L"\")";
        return Answer::kRefused;
    }
    const std::size_t slash = contentRange.find(L'/');
    if (slash != std::wstring::npos && contentRange.compare(slash + 1, 1, L"*") != 0) {
        m_total = std::wcstoull(contentRange.c_str() + slash + 1, nullptr, 10);
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

std::uint64_t Resumption::Next() { return 1000ull << m_count++; }
