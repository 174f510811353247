// All-or-nothing installation on real files: every power cut, at every step,
// leaves the old set or the new set once the next start has recovered; every
// failure leaves the folder as it was.
#include "upgrade/Installation.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/Handles.h"
#include "package/UibWriter.h"
#include "tests/unit/upgrade/JobFixtures.h"

namespace fs = std::filesystem;

namespace {

using Files = std::map<std::string, std::string>;  // relative path -> content, "<dir>" for a folder

using Scratch = jobtest::Folders;

std::string Package(const std::string& data) {
    std::vector<unsigned char> out;
    EXPECT_EQ(uib::PackUib(data.data(), data.size(), uib::PackOptions{}, &out).error, uib::PackError::kNone);
    return std::string(out.begin(), out.end());
}

// A replaced plain file (listed twice: the later wins), a new file in a new
// folder, a replaced file from a package, and a new plain file.
struct Release {
    Files before = {{"a.txt", "old a"}, {"c.dat", "old c"}, {"keep.txt", "not in the list"}};
    Files after = {{"a.txt", "new a, second"}, {"c.dat", "new c"},      {"keep.txt", "not in the list"},
                   {"sub", "<dir>"},           {"sub\\b.txt", "new b"}, {"d.bin", "new d"}};
    std::vector<InstallItem> Items(const Scratch& s) const {
        return {{s.Download("a1", "new a, first"), L"a.txt", false},
                {s.Download("b", "new b"), L"sub\\b.txt", false},
                {s.Download("c", Package("new c")), L"c.dat", true},
                {s.Download("d", "new d"), L"d.bin", false},
                {s.Download("a2", "new a, second"), L"a.txt", false}};
    }
};

class Install : public ::testing::Test {
protected:
    void SetUp() override { running.Start(); }
    StopFlag running;
    Release release;
};

TEST_F(Install, EveryPowerCutEndsInTheOldSetOrTheNewSetOnceTheNextStartHasRecovered) {
    int outcomes[3] = {};  // old, new, mixed
    for (int allowed = 0;; ++allowed) {
        SCOPED_TRACE("power cut after " + std::to_string(allowed) + " steps");
        Scratch s;
        s.Lay(release.before);
        Installation installation(s.App());
        int steps = 0;
        installation.SetStepGate([&] { return steps++ < allowed; });
        const Installation::Result result = installation.Install(release.Items(s), running, [] {});
        if (result == Installation::Result::kInstalled) {
            EXPECT_EQ(s.Installed(), release.after);
            break;
        }
        ASSERT_EQ(result, Installation::Result::kInterrupted);
        EXPECT_TRUE(Installation::Recover(s.App()));
        const Files now = s.Installed();
        ++outcomes[now == release.before ? 0 : now == release.after ? 1 : 2];
        EXPECT_TRUE(now == release.before || now == release.after) << ::testing::PrintToString(now);
        ASSERT_LT(allowed, 200) << "the installation never ends";
    }
    std::printf("measured: power cuts: %d left the old set, %d the new set, %d a mix\n", outcomes[0], outcomes[1],
                outcomes[2]);
    EXPECT_GT(outcomes[0], 10);
    EXPECT_GT(outcomes[1], 0) << "a cut after every new file is in place keeps the new set";
    EXPECT_EQ(outcomes[2], 0);
}

// Each entry in turn cannot be installed, in each way a target can resist:
// the installation fails and the folder is exactly as before.
TEST_F(Install, AFailureAtAnyEntryLeavesTheFolderAsItWas) {
    const Files before = {{"one.txt", "old one"}, {"three.dat", "old three"}, {"four.txt", "old four"}};
    enum class Resists { kReadOnly, kHeldOpen, kHeldOpenOnceStaged, kCorruptPackage, kFolderNameTaken };
    const Resists kinds[] = {Resists::kReadOnly, Resists::kHeldOpen, Resists::kHeldOpenOnceStaged,
                             Resists::kCorruptPackage, Resists::kFolderNameTaken};
    for (Resists kind : kinds) {
        for (std::size_t failing = 0; failing < 4; ++failing) {
            SCOPED_TRACE("kind " + std::to_string(static_cast<int>(kind)) + ", entry " + std::to_string(failing));
            Scratch s;
            s.Lay(before);
            std::vector<InstallItem> items = {{s.Download("1", "new one"), L"one.txt", false},
                                              {s.Download("2", "new two"), L"sub\\two.txt", false},
                                              {s.Download("3", Package("new three")), L"three.dat", true},
                                              {s.Download("4", "new four"), L"four.txt", false}};
            InstallItem& bad = items[failing];
            const std::wstring target = s.App() + L"\\" + bad.target;
            const auto holdTarget = [&target] {
                return UniqueHandle(CreateFileW(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            };
            if (kind == Resists::kReadOnly || kind == Resists::kHeldOpen || kind == Resists::kHeldOpenOnceStaged) {
                fs::create_directories(fs::path(target).parent_path());
                Scratch::Write(target, "old, resisting");
            } else if (kind == Resists::kCorruptPackage) {
                bad.source = s.Download("bad", "UMIB\x10\0\0\0garbage-garbage");
                bad.package = true;
            } else {
                bad.target = L"taken\\" + bad.target;
                Scratch::Write(s.root / "app" / "taken", "a file, not a folder");
            }
            const Files expected = s.Installed();

            Installation installation(s.App());
            UniqueHandle held;
            if (kind == Resists::kReadOnly) SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY);
            if (kind == Resists::kHeldOpen) held = holdTarget();
            if (kind == Resists::kHeldOpenOnceStaged) {
                // Held open while the targets are being replaced, too late for
                // the staging to notice.
                installation.SetStepGate([&] {
                    Journal journal;
                    if (!held && ReadJournal(s.App(), &journal) && journal.state == Journal::State::kCommitting) {
                        held = holdTarget();
                    }
                    return true;
                });
            }
            EXPECT_EQ(installation.Install(items, running, [] {}), Installation::Result::kFailed);
            held.Reset();
            SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
            EXPECT_EQ(s.Installed(), expected);
        }
    }
}

TEST_F(Install, ARecoveryThatCannotMoveAKeptCopyBackKeepsTheJournalForTheNextStart) {
    Scratch s;
    s.Lay(release.before);
    Installation installation(s.App());
    // Cut the power right after the first target was set aside.
    std::wstring kept;
    installation.SetStepGate([&] {
        for (const auto& item : fs::directory_iterator(s.root / "app")) {
            if (item.path().filename().wstring().find(L".~old") != std::wstring::npos) kept = item.path().wstring();
        }
        return kept.empty();
    });
    ASSERT_EQ(installation.Install(release.Items(s), running, [] {}), Installation::Result::kInterrupted);
    ASSERT_FALSE(kept.empty());

    {
        UniqueHandle held(CreateFileW(kept.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        EXPECT_FALSE(Installation::Recover(s.App()));
        EXPECT_TRUE(fs::exists(s.root / "app" / kJournalName)) << "the journal stays for the next start";
    }
    EXPECT_TRUE(Installation::Recover(s.App()));
    EXPECT_EQ(s.Installed(), release.before);
}

}  // namespace
