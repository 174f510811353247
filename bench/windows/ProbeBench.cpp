// How long one status probe takes against a healthy Marlowcast, next to the
// bare exchange it stands on: connect, send the same request, receive until
// "200 OK", close, with plain blocking Winsock calls and nothing else.
//
//   probe_bench [CALLS]
//
// Marlowcast (or the stand-in) must already listen on 127.0.0.1:50918. The
// two kinds of exchange alternate, so that both see the same machine. Prints:
//   probe_median_us=.. probe_p99_us=.. bare_median_us=.. bare_p99_us=.. failures=N
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/StopFlag.h"
#include "channel/LocalChannel.h"
#include "channel/RequestText.h"

namespace {

bool BareExchange() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return false;
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_addr.s_addr = htonl(kLocalChannelAddress);
    endpoint.sin_port = htons(kLocalChannelPort);
    bool ok = false;
    if (connect(s, reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint) == 0) {
        char body[kRequestFieldSize] = {};
        FormatRequestTime(body);
        char text[kRequestTextSize];
        const std::size_t length = ComposeRequestText(kStatusRequestLine, kRequestHostLine, body, text, sizeof text);
        if (send(s, text, static_cast<int>(length), 0) == static_cast<int>(length)) {
            char reply[1024];
            int got;
            while (!ok && (got = recv(s, reply, sizeof reply, 0)) > 0) ok = ChunkHasStatusOk(reply, got);
        }
    }
    shutdown(s, SD_BOTH);
    closesocket(s);
    return ok;
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 1000;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 1;
    StopFlag running;
    running.Start();

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const auto micros = [&](const LARGE_INTEGER& a, const LARGE_INTEGER& b) {
        return static_cast<double>(b.QuadPart - a.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
    };

    // Warm up both paths (first connections, lazily loaded code).
    for (int i = 0; i < 10; ++i) {
        ProbeStatus(running);
        BareExchange();
    }

    std::vector<double> probe, bare;
    int failures = 0;
    for (int i = 0; i < calls; ++i) {
        LARGE_INTEGER a, b, c;
        QueryPerformanceCounter(&a);
        if (!ProbeStatus(running)) ++failures;
        QueryPerformanceCounter(&b);
        if (!BareExchange()) ++failures;
        QueryPerformanceCounter(&c);
        probe.push_back(micros(a, b));
        bare.push_back(micros(b, c));
    }
    std::printf("probe_median_us=%.1f probe_p99_us=%.1f bare_median_us=%.1f bare_p99_us=%.1f failures=%d\n",
                Percentile(probe, 0.5), Percentile(probe, 0.99), Percentile(bare, 0.5), Percentile(bare, 0.99),
                failures);
    WSACleanup();
    return failures == 0 ? 0 : 1;
}
