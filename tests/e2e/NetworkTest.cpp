// Downloads as real networks serve them: HTTPS with the certificate checked,
// the user's proxy as Windows stores it, and servers that accept a connection
// and then say nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "tests/e2e/ReliabilityHelpers.h"
#include "tests/support/ScriptedPeer.h"
#include "tools/driver/E2eSupport.h"

using namespace e2e;
using namespace rel;

namespace {

constexpr u_short kScriptedHttpPort = 50980;  // nginx passes /upgrade/scripted-* here

long long Ms(Clock::duration d) {
    return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

// Quillstone built for https://localhost: nginx presents a certificate for
// localhost from the test authority, which scripts/test makes trusted the way
// Windows trusts one, and sends the files named tls-<case>-* on to servers
// with the certificate of that case, or to plain http.
class Https : public UpgradeFixture {
protected:
    Https() : UpgradeFixture(L"https") {}
};

TEST_F(Https, UpgradesOverACheckedConnectionAndRefusesEveryCertificateItCannotTrust) {
    ASSERT_NE(std::getenv("QS_TLS"), nullptr) << "run through scripts/test, which serves https";
    const struct {
        const char* entry;
        const wchar_t* result;
        const char* logged;  // after "Download of https://localhost/upgrade/<entry> "
    } cases[] = {
        {"tls-good.txt", L"Upgrade OK!", nullptr},
        // Sent on to another server with a good certificate: what refuses the
        // cases below is their certificate, not the sending on.
        {"tls-elsewhere-good.txt", L"Upgrade OK!", nullptr},
        {"tls-expired-cert.txt", L"Upgrade Failed!",
         "failed: certificate refused, ERROR_INTERNET_SEC_CERT_DATE_INVALID"},
        {"tls-untrusted-cert.txt", L"Upgrade Failed!", "failed: certificate refused, "},
        {"tls-wronghost-cert.txt", L"Upgrade Failed!",
         "failed: certificate refused, ERROR_INTERNET_SEC_CERT_CN_INVALID"},
        // https that sends us on to plain http
        {"tls-plain-redirect.txt", L"Upgrade Failed!", "refused: answered from http://"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        EventLogReader log;
        Serve(c.entry, std::string("served as ") + c.entry);
        OfferList({c.entry});
        StartSupervisor();
        ASSERT_EQ(StandInCommand("upgrade"), "ok");
        std::wstring text;
        ASSERT_TRUE(DismissMessageBox(&text, 60s));
        EXPECT_EQ(text, c.result);
        const bool ok = std::wstring(c.result) == L"Upgrade OK!";
        EXPECT_EQ(ReadFileBytes(InApp(c.entry)), ok ? std::string("served as ") + c.entry : "<missing>");
        const std::string url = std::string("https://localhost/upgrade/") + c.entry;
        if (c.logged) {
            EXPECT_EQ(log.Matching("Download of " + url + " " + c.logged).size(), 1u) << log.Dump();
        } else {
            EXPECT_EQ(
                log.Matching("Downloaded " + url + ": " + std::to_string(10 + std::strlen(c.entry)) + " bytes in ")
                    .size(),
                1u)
                << log.Dump();
        }
        sup.reset();
    }
}

// The user's proxy, as Windows keeps it under Internet Settings; the old
// values come back at the end.
class ProxySetting {
public:
    explicit ProxySetting(const std::wstring& server) {
        RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &m_key, nullptr);
        m_hadEnable = RegQueryValueExW(m_key, L"ProxyEnable", nullptr, nullptr, reinterpret_cast<BYTE*>(&m_enable),
                                       &m_enableSize) == ERROR_SUCCESS;
        DWORD size = sizeof m_server;
        m_hadServer = RegQueryValueExW(m_key, L"ProxyServer", nullptr, nullptr, reinterpret_cast<BYTE*>(m_server),
                                       &size) == ERROR_SUCCESS;
        const DWORD on = 1;
        RegSetValueExW(m_key, L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on), sizeof on);
        RegSetValueExW(m_key, L"ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                       static_cast<DWORD>((server.size() + 1) * sizeof(wchar_t)));
        // Windows never sends loopback requests through a proxy unless the
        // bypass list takes loopback out of its own rule; Wine always does.
        size = sizeof m_override;
        m_hadOverride = RegQueryValueExW(m_key, L"ProxyOverride", nullptr, nullptr, reinterpret_cast<BYTE*>(m_override),
                                         &size) == ERROR_SUCCESS;
        static constexpr wchar_t kThroughForLoopback[] = L"<-loopback>";
        RegSetValueExW(m_key, L"ProxyOverride", 0, REG_SZ, reinterpret_cast<const BYTE*>(kThroughForLoopback),
                       sizeof kThroughForLoopback);
    }
    ~ProxySetting() {
        if (m_hadEnable) {
            RegSetValueExW(m_key, L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&m_enable), m_enableSize);
        } else {
            RegDeleteValueW(m_key, L"ProxyEnable");
        }
        if (m_hadServer) {
            RegSetValueExW(m_key, L"ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(m_server),
                           static_cast<DWORD>((wcslen(m_server) + 1) * sizeof(wchar_t)));
        } else {
            RegDeleteValueW(m_key, L"ProxyServer");
        }
        if (m_hadOverride) {
            RegSetValueExW(m_key, L"ProxyOverride", 0, REG_SZ, reinterpret_cast<const BYTE*>(m_override),
                           static_cast<DWORD>((wcslen(m_override) + 1) * sizeof(wchar_t)));
        } else {
            RegDeleteValueW(m_key, L"ProxyOverride");
        }
        RegCloseKey(m_key);
    }

private:
    static constexpr wchar_t kKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    HKEY m_key = nullptr;
    bool m_hadEnable = false, m_hadServer = false, m_hadOverride = false;
    DWORD m_enable = 0, m_enableSize = sizeof(DWORD);
    wchar_t m_override[1024] = {};
    wchar_t m_server[256] = {};
};

using Proxy = UpgradeFixture;

TEST_F(Proxy, EveryDownloadGoesThroughTheUsersProxyAndADeadProxyFailsCleanly) {
    const char* log = std::getenv("QS_PROXY_LOG");
    ASSERT_NE(log, nullptr) << "run through scripts/test, which starts the proxy";
    const struct {
        const char* what;
        const wchar_t* proxy;  // 50985: the test proxy; 50986: nothing listens
        const wchar_t* result;
    } cases[] = {
        {"the proxy runs", L"127.0.0.1:50985", L"Upgrade OK!"},
        {"the proxy is down", L"127.0.0.1:50986", L"Upgrade Failed!"},
    };
    Serve("proxied-one.txt", "one");
    Serve("proxied-two.bin", std::string(50000, 'p'));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ProxySetting setting(c.proxy);
        DeleteFileW(InApp("proxied-one.txt").c_str());
        OfferList({"proxied-one.txt", "sub\\proxied-two.bin"});
        const size_t served = AccessLogLines();
        const std::wstring proxyLog = Widen(std::string("Z:") + log);
        const size_t proxiedBefore = ReadFileBytes(proxyLog).size();
        StartSupervisor();
        ASSERT_EQ(StandInCommand("upgrade"), "ok");
        std::wstring text;
        ASSERT_TRUE(DismissMessageBox(&text, 60s));
        EXPECT_EQ(text, c.result);
        const std::string proxied = ReadFileBytes(proxyLog).substr(proxiedBefore);
        const bool ok = std::wstring(c.result) == L"Upgrade OK!";
        for (const char* name : {"proxied-one.txt", "proxied-two.bin"}) {
            // "GET http://127.0.0.1:80/upgrade/<name> HTTP/1.1": the request as the proxy took it.
            EXPECT_EQ(proxied.find(std::string("/upgrade/") + name + " HTTP") != std::string::npos, ok)
                << name << " in the proxy's log";
        }
        EXPECT_EQ(ReadFileBytes(InApp("proxied-one.txt")), ok ? "one" : "<missing>");
        if (!ok) {
            EXPECT_EQ(AccessLogLines(), served) << "nothing may reach the server past a dead proxy";
        }
        sup.reset();
    }
}

// A server that takes the connection and then says nothing, or sends its
// header and a little and then stalls: the download gives up once it has
// heard nothing for the server time-out (15 s), and an exit meanwhile is as
// prompt as during a trickling download.
using SilentServer = UpgradeFixture;

TEST_F(SilentServer, FailsTheUpgradeAfterTheTimeOutAndLetsAnExitThroughAtOnce) {
    ScriptedPeer http(kScriptedHttpPort, [&](SOCKET s, int) {
        const std::string request = ReadRequest(s);
        if (request.find("scripted-stall") != std::string::npos) {
            SendAll(s, "HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(1000, 's'));
        }
        // Nothing more: hold the connection until the test ends it.
        WaitForClose(s, http, 120s);
    });
    ASSERT_TRUE(http.Listening());
    const struct {
        const char* entry;
        bool quit;  // end Quillstone while it waits, instead of waiting for the result
    } cases[] = {
        {"scripted-silent.bin", false},
        {"scripted-stall.bin", false},
        {"scripted-silent.bin", true},
        {"scripted-stall.bin", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.entry) + (c.quit ? ", exit meanwhile" : ""));
        WriteFileBytes(InApp(c.entry), "old");
        OfferList({c.entry});
        StartSupervisor();
        const int before = http.Accepted();
        ASSERT_EQ(StandInCommand("upgrade"), "ok");
        ASSERT_TRUE(WaitFor([&] { return http.Accepted() > before; }, 30s)) << "the download never reached the server";
        const auto asked = Clock::now();
        if (c.quit) {
            std::this_thread::sleep_for(2s);
            const auto quit = Clock::now();
            PostMessageW(sup->Window(), WM_SV_QUIT, 0, 0);
            ASSERT_TRUE(sup->Exited(30s));
            std::printf("measured: exit while %s took %lld ms\n", c.entry, Ms(Clock::now() - quit));
            EXPECT_LT(Clock::now() - quit, 12s) << "the same bound as an exit during a trickling download";
            EXPECT_TRUE(MessageBoxes().empty()) << "no box after an exit";
        } else {
            std::wstring text;
            ASSERT_TRUE(DismissMessageBox(&text, 60s));
            std::printf("measured: %s failed %lld ms after the request reached it\n", c.entry,
                        Ms(Clock::now() - asked));
            EXPECT_EQ(text, L"Upgrade Failed!");
            EXPECT_LT(Clock::now() - asked, 40s) << "the 15 s time-out, and time to show the result";
        }
        EXPECT_EQ(ReadFileBytes(InApp(c.entry)), "old");
        sup.reset();
    }
}

}  // namespace
