// Signed upgrades end to end: Quillstone built with a publisher's root key
// installs a release signed by the publisher's tool with a release key that
// the keys document lists, refuses one older than what it installed and one
// changed on the server after signing, follows a rotation of the release
// keys to a new keys version (whose release numbers start over), and then
// refuses the older keys document; it leaves the folder as it was when it
// refuses. The server's log shows the signed documents asked for before any
// file, no file at all for a release they alone refuse, and, for a release
// over another, only the pieces of it that the installed files do not hold.
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
    static void ForgetReleases() {
        RegDeleteTreeW(HKEY_CURRENT_USER, (std::wstring(kApplicationKey) + L"\\Upgrade records").c_str());
    }

    // Puts a release as scripts/test signed it on the server: "4" and "5"
    // under keys version 1, "rotated" (release 3) under keys version 2.
    void Publish(const std::string& release) {
        const char* releases = std::getenv("QS_SIGNED_RELEASES");
        ASSERT_NE(releases, nullptr) << "run through scripts/test, which signs the releases";
        for (const char* name :
             {"signed-one.txt", "signed-two.bin", "signed-one.txt.blockmap", "signed-two.bin.blockmap",
              "Quillstone.keys", "Quillstone.keys.sig", "Quillstone.manifest", "Quillstone.manifest.sig"}) {
            const std::string path = std::string(releases) + "/" + release + "/" + name;
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

TEST_F(SignedBuild, InstallsWhatThePublisherSignedAndNothingOlderOrChangedAndFollowsARotation) {
    OfferList({"signed-one.txt", "sub\\signed-two.bin"});
    const struct {
        const char* what;
        const char* release;
        bool swapFile;                     // changed on the server after signing
        bool damaged;                      // the installed copies damaged beforehand (signed-two.bin in its first byte)
        const char* installs;              // what is installed then; null: the folder as it was
        size_t documents;                  // the signed documents asked for before the verdict
        const char* logged;                // the verdict in the event log
        size_t servedSize = 0;             // when not 0: signed-two.bin is answered with this many bytes
        unsigned long long mostOfTwo = 0;  // when not 0: what nginx may send of signed-two.bin's MiB
    } cases[] = {
        {"release 5, as signed", "5", false, false, "signed one, release 5\n|5", 4,
         "Manifest accepted: release 5 (installed so far: 0), keys version 1"},
        {"release 5 again, over damaged files: a repair that fetches the damaged piece", "5", false, true,
         "signed one, release 5\n|5", 4,
         "sub\\signed-two.bin: 64.0 KiB fetched of 1.0 MiB, the rest from the installed file", 0, 64 << 10},
        {"release 4, older than the one installed", "4", false, false, nullptr, 4,
         "Upgrade refused: the manifest's release is older than the one installed (4 < 5, keys version 1)"},
        {"release 5 with a file of 200 MiB on the server for the signed MiB", "5", false, true, nullptr, 4,
         "File sub\\signed-two.bin: fetching it whole: the pieces it lacked could not be fetched", 200u << 20,
         2u << 20},
        {"release 5 with a file changed on the server", "5", true, true, nullptr, 4,
         "File sub\\signed-two.bin: fetching it whole: the pieces it lacked could not be fetched"},
        {"release 6 over release 5: only the piece that changed", "6", false, false, "signed one, release 6\n|6", 4,
         "sub\\signed-two.bin: 64.0 KiB fetched of 1.0 MiB, the rest from the installed file", 0, 64 << 10},
        {"a rotation to keys version 2 and its release 3", "rotated", false, false, "signed one, release 3\n|3", 4,
         "Manifest accepted: release 3 (installed so far: 0), keys version 2"},
        {"release 5 under keys version 1 again, after the rotation", "5", false, false, nullptr, 2,
         "Upgrade refused: the keys document's version is lower than one accepted already (1 < 2)"},
    };
    const std::vector<std::string> documents = {"Quillstone.keys", "Quillstone.keys.sig", "Quillstone.manifest",
                                                "Quillstone.manifest.sig"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EventLogReader log;
        Publish(c.release);
        if (c.swapFile) Serve("signed-two.bin", std::string(1 << 20, '6'));
        if (c.servedSize) Serve("signed-two.bin", std::string(c.servedSize, '6'));
        if (c.damaged) {
            WriteFileBytes(InApp("signed-one.txt"), "damaged");
            std::string two = ReadFileBytes(InApp("sub\\signed-two.bin"));
            two[0] = 'x';
            WriteFileBytes(InApp("sub\\signed-two.bin"), two);
        }
        const std::string before = Installed();
        const size_t logged = AccessLogLines();
        EXPECT_EQ(Upgrade(), c.installs ? L"Upgrade OK!" : L"Upgrade Failed!");
        EXPECT_EQ(Installed(), c.installs ? c.installs : before);

        // The signed documents first; the files only for a release they let in.
        const std::vector<std::string> asked = AskedSince(logged);
        ASSERT_GE(asked.size(), c.documents);
        EXPECT_EQ(std::vector<std::string>(asked.begin(), asked.begin() + c.documents),
                  std::vector<std::string>(documents.begin(), documents.begin() + c.documents));
        EXPECT_EQ(asked.size() > c.documents, c.installs || c.swapFile || c.servedSize)
            << "files are asked for only after the signed documents let them in";
        EXPECT_EQ(log.Matching(c.logged).size(), 1u) << log.Dump();
        EXPECT_EQ(log.Matching("Upgrade installed: 2 files").size(), c.installs ? 1u : 0u);
        // What nginx sent for it (its log's bytes after the status): the
        // pieces asked for, not the file.
        if (c.mostOfTwo) {
            EXPECT_LE(BytesSentSince(logged, "signed-two.bin"), c.mostOfTwo);
        }
    }
}

}  // namespace
