#include "tests/support/RangeServer.h"

#include <cstdlib>

namespace e2e {
namespace {

// The value of a request header, "" when the request has none.
std::string HeaderValue(const std::string& request, const std::string& name) {
    const std::size_t at = request.find("\r\n" + name + ": ");
    if (at == std::string::npos) return "";
    const std::size_t from = at + name.size() + 4;
    return request.substr(from, request.find("\r\n", from) - from);
}

}  // namespace

RangeServer::RangeServer(u_short port, std::string bytes, std::string etag, std::string lastModified,
                         std::vector<Step> steps, std::function<std::uint64_t()> clock,
                         std::map<std::string, std::string> others)
    : m_clock(std::move(clock)),
      m_steps(std::move(steps)),
      m_others(std::move(others)),
      m_bytes(std::move(bytes)),
      m_etag(std::move(etag)),
      m_lastModified(std::move(lastModified)),
      m_peer(port, [this](SOCKET s, int index) { Answer(s, index); }) {}

std::vector<RangeServer::Request> RangeServer::Requests() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_requests;
}

void RangeServer::Answer(SOCKET s, int) {
    const std::string request = ReadRequest(s);
    const std::size_t name = request.find("/upgrade/") + 9;
    const auto other = m_others.find(request.substr(name, request.find(' ', name) - name));
    if (name > 8 && other != m_others.end()) {
        SendAll(s, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(other->second.size()) +
                       "\r\nConnection: close\r\n\r\n" + other->second);
        return;
    }
    Step step;
    std::string bytes, validators;
    bool whole = false;
    {
        // The file's requests count from 0, whatever else was asked.
        std::lock_guard<std::mutex> hold(m_lock);
        const int index = static_cast<int>(m_requests.size());
        if (index < static_cast<int>(m_steps.size())) step = m_steps[index];
        whole = step.fault == Fault::kIgnoreRange;
        m_requests.push_back({HeaderValue(request, "Range"), HeaderValue(request, "If-Range"), m_clock()});
        if (step.fault == Fault::kChangeFile) {
            for (char& c : m_bytes) c = static_cast<char>(~c);
            m_etag = "\"changed-" + std::to_string(index) + "\"";
            m_lastModified = "Thu, 10 Dec 2026 06:00:00 GMT";
        }
        bytes = m_bytes;
        if (!m_etag.empty()) validators += "ETag: " + m_etag + "\r\n";
        if (!m_lastModified.empty()) validators += "Last-Modified: " + m_lastModified + "\r\n";
        // If-Range that names the file as it is now lets the range stand.
        const std::string ifRange = m_requests.back().ifRange;
        whole = whole || (!ifRange.empty() && ifRange != m_etag && ifRange != m_lastModified);
    }
    const std::string range = HeaderValue(request, "Range");
    std::uint64_t from = 0, to = bytes.size() ? bytes.size() - 1 : 0;
    const bool partial = range.rfind("bytes=", 0) == 0 && !whole;
    if (partial) {
        char* end = nullptr;
        from = std::strtoull(range.c_str() + 6, &end, 10);
        if (end && *end == '-' && end[1]) to = std::min<std::uint64_t>(to, std::strtoull(end + 1, nullptr, 10));
        if (from >= bytes.size() || step.fault == Fault::kRefuseRange) {
            SendAll(s, "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" + std::to_string(bytes.size()) +
                           "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            return;
        }
        if (step.fault == Fault::kWrongStart && from > 0) --from;
    }
    std::string head = partial ? "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) + "-" +
                                     std::to_string(to) + "/" + std::to_string(bytes.size()) + "\r\n"
                               : "HTTP/1.1 200 OK\r\n";
    head += validators + "Content-Length: " + std::to_string(to + 1 - from) + "\r\nConnection: close\r\n\r\n";
    std::uint64_t end = to + 1;
    const bool cuts = step.fault == Fault::kCut || (step.fault == Fault::kChangeFile && step.at > 0);
    if (cuts && step.at >= from && step.at < end) end = step.at;
    if (step.fault == Fault::kCorrupt && step.at < bytes.size()) bytes[step.at] ^= 0x55;
    if (!SendAll(s, head) || !SendAll(s, bytes.substr(from, end - from))) return;
    // A cut closes the connection in order, so that every byte counted here
    // reaches the client; a reset would drop what it had not read yet.
    m_sent += end - from;
}

}  // namespace e2e
