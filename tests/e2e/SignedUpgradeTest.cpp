// Signed upgrades end to end: Quillstone built with a publisher's key
// installs a release signed with it by the publisher's tool, refuses one
// older than what it installed and one changed on the server after signing,
// and leaves the folder as it was when it refuses. The server's log shows
// the manifest asked for before any file, and no file at all for a release
// the manifest alone refuses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e/ReliabilityHelpers.h"
#include "tools/driver/E2eSupport.h"

using namespace e2e;
using namespace rel;

namespace {

constexpr wchar_t kApplicationKey[] = L"Software\\Quillstone\\Quillstone";

class SignedBuild : public UpgradeFixture {
protected:
    SignedBuild() : UpgradeFixture(L"signed") {}
    void SetUp() override {
        UpgradeFixture::SetUp();
        ForgetReleases();
    }
    void TearDown() override { ForgetReleases(); }
    static void ForgetReleases() { RegDeleteKeyValueW(HKEY_CURRENT_USER, kApplicationKey, L"Upgrade Release"); }

    // Puts release `number` as scripts/test signed it on the server.
    void Publish(int number) {
        const char* releases = std::getenv("QS_SIGNED_RELEASES");
        ASSERT_NE(releases, nullptr) << "run through scripts/test, which signs the releases";
        for (const char* name :
             {"signed-one.txt", "signed-two.bin", "Quillstone.manifest", "Quillstone.manifest.sig"}) {
            const std::string path = std::string(releases) + "/" + std::to_string(number) + "/" + name;
            Serve(name, ReadFileBytes(Widen("Z:" + path)));
        }
    }
    std::wstring Upgrade() {
        StartSupervisor();
        EXPECT_EQ(StandInCommand("upgrade"), "ok");
        std::wstring text;
        EXPECT_TRUE(DismissMessageBox(&text, 60s));
        sup.reset();
        return text;
    }
    // The upgrade files asked of nginx since its log had `from` lines, in order.
    static std::vector<std::string> AskedSince(size_t from) {
        const char* log = std::getenv("QS_NGINX_LOG");
        if (!log) return {};
        const std::string text = ReadFileBytes(Widen(std::string("Z:") + log));
        std::vector<std::string> asked;
        size_t line = 0;
        for (size_t start = 0, end; start < text.size(); start = end + 1, ++line) {
            end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            const size_t at = text.find("/upgrade/", start);
            if (line < from || at == std::string::npos || at > end) continue;
            asked.push_back(text.substr(at + 9, text.find(' ', at) - at - 9));
        }
        return asked;
    }
    // The body bytes nginx logged for `name` since its log had `from` lines.
    static unsigned long long BytesSentSince(size_t from, const std::string& name) {
        const std::string text = ReadFileBytes(Widen(std::string("Z:") + std::getenv("QS_NGINX_LOG")));
        unsigned long long sent = 0;
        size_t line = 0;
        for (size_t start = 0, end; start < text.size(); start = end + 1, ++line) {
            end = std::min(text.find('\n', start), text.size());
            const size_t at = text.find("/upgrade/" + name + " ", start), status = text.find("\" ", at);
            if (line >= from && at < end && status < end) sent += std::strtoull(&text[status + 6], nullptr, 10);
        }
        return sent;
    }
    std::string Installed() {
        return ReadFileBytes(InApp("signed-one.txt")) + "|" + ReadFileBytes(InApp("sub\\signed-two.bin")).substr(0, 1);
    }
};

TEST_F(SignedBuild, InstallsWhatThePublisherSignedAndNothingOlderOrChanged) {
    OfferList({"signed-one.txt", "sub\\signed-two.bin"});
    const std::string five = "signed one, release 5\n|5";
    const struct {
        const char* what;
        int release;
        bool swapFile;  // changed on the server after signing
        bool damaged;   // the installed copy damaged beforehand
        bool installs;
        const char* logged;     // the verdict in the event log
        size_t servedSize = 0;  // when not 0: signed-two.bin is answered with this many bytes
    } cases[] = {
        {"release 5, as signed", 5, false, false, true, "Manifest accepted: release 5 (installed so far: 0)"},
        {"release 5 again, over a damaged file: a repair", 5, false, true, true,
         "Manifest accepted: release 5 (installed so far: 5)"},
        {"release 4, older than the one installed", 4, false, false, false,
         "Upgrade refused: the manifest's release is older than the one installed (4 < 5)"},
        {"release 5 with a file of 200 MiB on the server for the signed 20000 bytes", 5, false, false, false,
         "signed-two.bin refused: the server has 209715200 bytes, more than the 20000 allowed", 200u << 20},
        {"release 5 with a file changed on the server", 5, true, false, false,
         "File signed-two.bin refused: its SHA-256 is "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EventLogReader log;
        Publish(c.release);
        if (c.swapFile) Serve("signed-two.bin", std::string(20000, '6'));
        if (c.servedSize) Serve("signed-two.bin", std::string(c.servedSize, '6'));
        if (c.damaged) WriteFileBytes(InApp("signed-one.txt"), "damaged");
        const std::string before = Installed();
        const size_t logged = AccessLogLines();
        EXPECT_EQ(Upgrade(), c.installs ? L"Upgrade OK!" : L"Upgrade Failed!");
        EXPECT_EQ(Installed(), c.installs ? five : before);

        // The manifest and its signature first; the files only for a release
        // the manifest lets in.
        const std::vector<std::string> asked = AskedSince(logged);
        const std::vector<std::string> manifest = {"Quillstone.manifest", "Quillstone.manifest.sig"};
        ASSERT_GE(asked.size(), 2u);
        EXPECT_EQ(std::vector<std::string>(asked.begin(), asked.begin() + 2), manifest);
        EXPECT_EQ(asked.size() > 2, c.release == 5) << "files are asked for only after the manifest let them in";
        EXPECT_EQ(log.Matching(c.logged).size(), 1u) << log.Dump();
        EXPECT_EQ(log.Matching("Upgrade installed: 2 files").size(), c.installs ? 1u : 0u);
        // What nginx sent for it (its log's bytes after the status): the
        // bound and a byte, not the file.
        if (c.servedSize) {
            EXPECT_LT(BytesSentSince(logged, "signed-two.bin"), 32u << 20);
        }
    }
}

}  // namespace
