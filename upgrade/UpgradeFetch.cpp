#include "upgrade/UpgradeFetch.h"

#include <cstring>
#include <vector>

#include "base/EventLog.h"
#include "channel/ListenerOwner.h"
#include "channel/RequestText.h"
#include "upgrade/UpgradeList.h"

namespace {

// Gathers the pieces of the answer into the list buffer, kept zero-terminated.
// An answer that does not fit is unusable: a cut list could name fewer files
// than Marlowcast meant, so nothing of it is used.
class ListGatherer : public IReplyConsumer {
public:
    explicit ListGatherer(std::vector<char>* list) : m_list(*list) {}

    bool OnReplyChunk(const char* chunk, int length) override {
        if (m_used + static_cast<std::size_t>(length) > m_list.size() - 1) {
            m_overflow = true;
            return true;  // no point reading further
        }
        std::memcpy(m_list.data() + m_used, chunk, static_cast<std::size_t>(length));
        m_used += static_cast<std::size_t>(length);
        m_list[m_used] = 0;
        return false;  // the list ends when Marlowcast closes the connection
    }
    bool Overflowed() const { return m_overflow; }

private:
    std::vector<char>& m_list;
    std::size_t m_used = 0;
    bool m_overflow = false;
};

}  // namespace

UpgradeListFetch::UpgradeListFetch(const StopFlag& running, DWORD launched)
    : m_running(running), m_launched(launched) {}

bool UpgradeListFetch::Run() {
    std::vector<char> list(kUpgradeListSize, '\0');
    bool fits = false;
    const bool connected = OpenLocalConnection(m_socket.Get(), m_running);
    const bool ours = connected && (!m_launched || ListenerOwnedBy(m_launched));
    if (connected && !ours) {
        LogEvent(L"Upgrade list not asked for: 127.0.0.1:%u is not held by the Marlowcast we launched (process id %lu)",
                 kLocalChannelPort, m_launched);
    }
    if (ours) {
        char body[kRequestFieldSize] = {};
        FormatRequestTime(body);
        if (SendLocalRequest(m_socket.Get(), kUpgradeListRequestLine, kRequestHostLine, body) &&
            m_running.IsRunning()) {
            ListGatherer gatherer(&list);
            std::vector<char> piece(kUpgradeListSize);
            ReceiveLocalReply(m_socket.Get(), piece.data(), static_cast<int>(piece.size()), gatherer, m_running);
            fits = !gatherer.Overflowed();
        }
    }
    m_socket.Close();
    m_text = list.data();
    return fits && IsUsableUpgradeAnswer(list.data(), list.size());
}
