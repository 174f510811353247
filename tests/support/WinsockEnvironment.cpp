// Winsock for the tests' own sockets (the control connection to the stand-in).
#include <winsock2.h>

#include <gtest/gtest.h>

namespace {
// Winsock for the control connection to the stand-in.
class WinsockEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
    }
    void TearDown() override { WSACleanup(); }
};
const auto* const g_winsock = ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);
}  // namespace
