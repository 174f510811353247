// Signed upgrades end to end: Quillstone built with a publisher's key
// installs a release signed with it by the publisher's tool, refuses one
// older than what it installed and one changed on the server after signing,
// and leaves the folder as it was when it refuses.
#include <gtest/gtest.h>

#include <cstdlib>

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
    } cases[] = {
        {"release 5, as signed", 5, false, false, true},
        {"release 5 again, over a damaged file: a repair", 5, false, true, true},
        {"release 4, older than the one installed", 4, false, false, false},
        {"release 5 with a file changed on the server", 5, true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Publish(c.release);
        if (c.swapFile) Serve("signed-two.bin", std::string(20000, '6'));
        if (c.damaged) WriteFileBytes(InApp("signed-one.txt"), "damaged");
        const std::string before = Installed();
        EXPECT_EQ(Upgrade(), c.installs ? L"Upgrade OK!" : L"Upgrade Failed!");
        EXPECT_EQ(Installed(), c.installs ? five : before);
    }
}

}  // namespace
