#pragma once
// An HTTP server for one file on 127.0.0.1, as a static server serves it
// (ETag, Last-Modified, Range and If-Range honoured), whose answers a test
// can spoil one request at a time: cut the answer at a byte of the file,
// ignore the range, answer a range other than the one asked for, change the
// file, or refuse the range. It counts the file's bytes it sent, so a test
// sees what a resumption cost on the wire.

#include <winsock2.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/ScriptedPeer.h"

namespace e2e {

class RangeServer {
public:
    enum class Fault {
        kNone,
        kCut,          // the answer stops at byte `at` of the file: the connection closes
        kIgnoreRange,  // 200 with the whole file, whatever was asked
        kWrongStart,   // 206 for a range that starts one byte before the one asked for
        kChangeFile,   // the file changes (new bytes, new ETag) before the answer, which is cut at `at` if not 0
        kRefuseRange,  // 416
        kCorrupt,      // byte `at` of the file comes changed in this answer
    };
    struct Step {
        Fault fault = Fault::kNone;
        std::uint64_t at = 0;
    };
    struct Request {
        std::string range;    // the Range header's value, "" when none
        std::string ifRange;  // the If-Range header's value
        std::uint64_t when;   // the test's clock when it arrived
    };

    // `steps[i]` spoils the i-th request; later ones are answered as asked.
    // `others`: files served whole under their names, whatever else is
    // asked (a block map beside the file); their requests are not counted.
    RangeServer(u_short port, std::string bytes, std::string etag, std::string lastModified, std::vector<Step> steps,
                std::function<std::uint64_t()> clock, std::map<std::string, std::string> others = {});
    bool Listening() const { return m_peer.Listening(); }
    std::vector<Request> Requests() const;
    std::uint64_t BytesSent() const { return m_sent.load(); }

private:
    void Answer(SOCKET s, int index);

    std::function<std::uint64_t()> m_clock;
    std::vector<Step> m_steps;
    std::map<std::string, std::string> m_others;
    mutable std::mutex m_lock;
    std::string m_bytes;
    std::string m_etag;
    std::string m_lastModified;
    std::vector<Request> m_requests;
    std::atomic<std::uint64_t> m_sent{0};
    ScriptedPeer m_peer;  // last: it calls Answer until it ends
};

}  // namespace e2e
