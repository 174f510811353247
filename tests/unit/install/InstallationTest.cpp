// All-or-nothing installation on real files: every power cut, at every step,
// leaves the old set or the new set once the next start has recovered; every
// failure leaves the folder as it was.
#include "install/Installation.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/Handles.h"
#include "base/Protocol.h"
#include "package/UibWriter.h"
#include "tests/support/TestEventLog.h"
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

// The name under which a replaced target is kept, or "" while there is none.
std::string KeptOf(const Files& now, const std::string& target) {
    const auto next = now.upper_bound(target + ".~old");
    const auto at = now.find(target + ".~old");
    if (at != now.end()) return at->first;
    return next != now.end() && next->first.rfind(target + ".~old", 0) == 0 ? next->first : "";
}

// A step gate that lets every step through and, the first time the journal
// is in `state` with entries, does `act` (holds a file as another program would).
std::function<bool()> OnceIn(const Scratch& s, Journal::State state, std::function<void(const Journal&)> act) {
    return [&s, state, act, done = false]() mutable {
        Journal journal;
        if (!done && ReadJournal(s.App(), &journal) == JournalFound::kRead && journal.state == state &&
            !journal.entries.empty()) {
            act(journal);
            done = true;
        }
        return true;
    };
}

class Install : public ::testing::Test {
protected:
    void SetUp() override { running.Start(); }
    // What a kill leaves once the replaced a.txt, the last target, is kept:
    // every other new file in place. The folder as the cut left it.
    Files CutOnceAKeptCopyIsMade(const Scratch& s) {
        s.Lay(release.before);
        Installation cut(s.App());
        cut.SetStepGate([&] { return KeptOf(s.Installed(), "a.txt").empty(); });
        EXPECT_EQ(cut.Install(release.Items(s), running, [] {}), Installation::Result::kInterrupted);
        return s.Installed();
    }

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
        EXPECT_TRUE(Installation(s.App()).Recover());
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
            installation.SetPatience(0);
            UniqueHandle held;
            if (kind == Resists::kReadOnly) SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY);
            if (kind == Resists::kHeldOpen) held = holdTarget();
            if (kind == Resists::kHeldOpenOnceStaged) {
                // Held open while the targets are being replaced, too late for
                // the staging to notice.
                installation.SetStepGate(
                    OnceIn(s, Journal::State::kCommitting, [&](const Journal&) { held = holdTarget(); }));
            }
            EXPECT_EQ(installation.Install(items, running, [] {}), Installation::Result::kFailed);
            held.Reset();
            SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
            EXPECT_EQ(s.Installed(), expected);
        }
    }
}

TEST_F(Install, ARecoveryThatCannotMoveAKeptCopyBackKeepsTheTargetAndTheJournalForTheNextStart) {
    Scratch s;
    s.Lay(release.before);
    Installation installation(s.App());
    // Cut the power once the replaced a.txt is kept and the new one is in place.
    installation.SetStepGate([&] {
        const Files now = s.Installed();
        return KeptOf(now, "a.txt").empty() || !now.count("a.txt") || now.at("a.txt") == "old a";
    });
    ASSERT_EQ(installation.Install(release.Items(s), running, [] {}), Installation::Result::kInterrupted);
    const std::wstring kept = (s.root / "app" / KeptOf(s.Installed(), "a.txt")).wstring();

    {
        UniqueHandle held(CreateFileW(kept.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        Installation recovery(s.App());
        recovery.SetPatience(0);
        EXPECT_FALSE(recovery.Recover());
        EXPECT_TRUE(fs::exists(s.root / "app" / kJournalName)) << "the journal stays for the next start";
        EXPECT_EQ(s.Installed()["a.txt"], "new a, second") << "the target is never absent";
    }
    EXPECT_TRUE(Installation(s.App()).Recover());
    EXPECT_EQ(s.Installed(), release.before);
}

// An undo cut short at any step and run again by the next start ends in the
// old set, and never removes a file that somebody else made meanwhile where
// the installation had put a new one.
TEST_F(Install, AnUndoCutShortAtAnyStepAndRunAgainTouchesNothingButItsOwnFiles) {
    for (int allowed = 0;; ++allowed) {
        SCOPED_TRACE("undo cut after " + std::to_string(allowed) + " steps");
        Scratch s;
        s.Lay(release.before);
        Installation installation(s.App());
        // Cut once every new file is in place, before the finishing begins.
        installation.SetStepGate([&] {
            Journal journal;
            return !(ReadJournal(s.App(), &journal) == JournalFound::kRead &&
                     journal.state == Journal::State::kCommitting && s.Installed().count("d.bin"));
        });
        ASSERT_EQ(installation.Install(release.Items(s), running, [] {}), Installation::Result::kInterrupted);

        Installation undo(s.App());
        int steps = 0;
        undo.SetStepGate([&] { return steps++ < allowed; });
        const bool whole = undo.Recover();
        Files expected = release.before;
        if (!s.Installed().count("d.bin")) {
            // Another program makes the file that the undo took away.
            Scratch::Write(s.root / "app" / "d.bin", "somebody else's");
            expected["d.bin"] = "somebody else's";
        }
        EXPECT_TRUE(Installation(s.App()).Recover());
        EXPECT_EQ(s.Installed(), expected);
        if (whole) break;
        ASSERT_LT(allowed, 100) << "the undo never ends";
    }
}

TEST_F(Install, AJournalLeftStandingIsRecoveredFirstOrNothingStarts) {
    for (const bool recoverable : {true, false}) {
        SCOPED_TRACE(recoverable ? "recoverable" : "a kept copy held");
        Scratch s;
        const Files standing = CutOnceAKeptCopyIsMade(s);

        UniqueHandle held;
        if (!recoverable) {
            const std::wstring kept = (s.root / "app" / KeptOf(standing, "a.txt")).wstring();
            held.Reset(CreateFileW(kept.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(held);
        }
        Installation next(s.App());
        next.SetPatience(0);
        const Installation::Result result = next.Install(release.Items(s), running, [] {});
        if (recoverable) {
            EXPECT_EQ(result, Installation::Result::kInstalled);
            EXPECT_EQ(s.Installed(), release.after);
        } else {
            EXPECT_EQ(result, Installation::Result::kFailed);
            EXPECT_EQ(s.Installed()["Quillstone-upgrade.journal"], standing.at("Quillstone-upgrade.journal"))
                << "the record needed to restore the folder is kept as it was";
            held.Reset();
            EXPECT_TRUE(Installation(s.App()).Recover());
            EXPECT_EQ(s.Installed(), release.before);
        }
    }
}

// Lists that name the installation's own files fail whole, and a list whose
// target looks like another target's kept copy cannot make the undo lose a file.
TEST_F(Install, TargetsNeverCoincideWithStagedKeptOrJournalNames) {
    const std::vector<std::vector<std::wstring>> refused = {{L"x.~old", L"x"},
                                                            {L"x", L"x.~new"},
                                                            {L"x.~old3"},
                                                            {L"Quillstone-upgrade.journal"},
                                                            {L"Quillstone-upgrade.journal.~new"},
                                                            {L"quillstone-upgrade.JOURNAL.rejected"}};
    for (const auto& targets : refused) {
        SCOPED_TRACE(::testing::PrintToString(targets));
        Scratch s;
        s.Lay({{"x", "old x"}});
        std::vector<InstallItem> items;
        for (const std::wstring& t : targets) items.push_back({s.Download("n", "new"), t, false});
        Installation installation(s.App());
        EXPECT_EQ(installation.Install(items, running, [] {}), Installation::Result::kFailed);
        EXPECT_EQ(s.Installed(), (Files{{"x", "old x"}}));
    }
}

// A replaced file still held by a program when the installation ends (a
// program running from it) stays recorded until it can go, and such files
// never use up the names a target needs.
TEST_F(Install, ReplacedFilesThatCannotBeRemovedYetNeverBlockTheirTarget) {
    Scratch s;
    s.Lay({{"a.txt", "release 0"}});
    std::vector<UniqueHandle> held;
    for (int r = 1; r <= 11; ++r) {
        SCOPED_TRACE("release " + std::to_string(r));
        Installation installation(s.App());
        installation.SetPatience(0);
        installation.SetStepGate(OnceIn(s, Journal::State::kFinishing, [&](const Journal& journal) {
            const std::wstring kept = s.App() + L"\\" + fs::path(journal.entries[0].kept).wstring();
            held.emplace_back(
                CreateFileW(kept.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        }));
        const std::vector<InstallItem> items = {{s.Download("a", "release " + std::to_string(r)), L"a.txt", false}};
        ASSERT_EQ(installation.Install(items, running, [] {}), Installation::Result::kInstalled);
        EXPECT_EQ(s.Installed()["a.txt"], "release " + std::to_string(r));
        EXPECT_TRUE(fs::exists(s.root / "app" / kJournalName)) << "the leftovers stay recorded";
    }
    held.clear();
    EXPECT_TRUE(Installation(s.App()).Recover());
    EXPECT_EQ(s.Installed(), (Files{{"a.txt", "release 11"}})) << "every leftover and the journal gone";
}

// A journal is read as untrusted input: one that names files outside the
// folder, or side names that are not its targets', is set aside in any state
// and acted on in none.
TEST_F(Install, AHostileJournalIsSetAsideAndNeverActedOn) {
    const char* const states[] = {"staging", "committing", "undone", "finishing"};
    const char* const entries[] = {
        "entry\t1\t..\\other\\file\t..\\other\\file.~new\t..\\other\\file.~old\n",
        "entry\t0\t..\\other\\file\t..\\other\\file.~new\t..\\other\\file.~old\n",
        "entry\t1\tmine.txt\t..\\other\\file.~new\t..\\other\\file.~old\n",
        "leftover\t..\\other\\file\t..\\other\\file.~old\n",
    };
    const Files outside = {{"file", "a user's file"}, {"file.~new", "a user's new"}, {"file.~old", "a user's old"}};
    for (const char* state : states) {
        for (const char* entry : entries) {
            SCOPED_TRACE(std::string(state) + ": " + entry);
            Scratch s;
            s.Lay({{"mine.txt", "mine"}});
            fs::create_directories(s.root / "other");
            for (const auto& [name, content] : outside) Scratch::Write(s.root / "other" / name, content);
            const std::string journal = std::string("Quillstone-Upgrade-Journal 1\nstate\t") + state + "\n" + entry;
            Scratch::Write(s.root / "app" / kJournalName, journal);

            EXPECT_TRUE(Installation(s.App()).Recover()) << "it blocks nothing";
            EXPECT_EQ(s.Installed(), (Files{{"mine.txt", "mine"}, {"Quillstone-upgrade.journal.rejected", journal}}));
            for (const auto& [name, content] : outside) {
                std::ifstream in(s.root / "other" / name, std::ios::binary);
                EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content) << name;
            }
        }
    }
}

// A virus scanner or an indexer holds a file for a moment: the installation
// waits for it; a file held for longer fails the installation whole.
TEST_F(Install, AFileHeldForAMomentIsWaitedForAndOneHeldLongerFailsWhole) {
    testlog::LogFolder log;
    for (const bool longer : {false, true}) {
        SCOPED_TRACE(longer ? "held longer than the patience" : "held for 2 s");
        log.Clear();
        Scratch s;
        s.Lay(release.before);
        const std::wstring target = s.App() + L"\\c.dat";
        const auto hold = [&] {
            return UniqueHandle(
                CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        };
        Installation installation(s.App());
        UniqueHandle held;
        std::thread release2s;
        if (longer) {
            // Held from the moment the targets are being replaced.
            installation.SetStepGate(OnceIn(s, Journal::State::kCommitting, [&](const Journal&) { held = hold(); }));
        } else {
            held = hold();
            release2s = std::thread([&] {
                Sleep(2000);
                held.Reset();
            });
        }
        const Installation::Result result = installation.Install(release.Items(s), running, [] {});
        if (release2s.joinable()) release2s.join();
        held.Reset();
        EXPECT_EQ(result, longer ? Installation::Result::kFailed : Installation::Result::kInstalled);
        EXPECT_EQ(s.Installed(), longer ? release.before : release.after);

        // One line for the wait, however many attempts it took, and one for
        // how it ended.
        const std::string c = fs::path(target).string();
        const std::vector<std::string> events = testlog::Events(log.Log());
        const auto count = [&](const std::string& text) {
            return std::count_if(events.begin(), events.end(),
                                 [&](const std::string& e) { return e.find(text) != std::string::npos; });
        };
        EXPECT_EQ(count(c + " is held by another program, error 32"), 1) << testlog::ReadAll(log.Log());
        EXPECT_EQ(count(c + " is free again after"), longer ? 0 : 1);
        EXPECT_EQ(count("Installation failed committing " + c + ": it could not be moved aside"), longer ? 1 : 0);
        EXPECT_EQ(count(longer ? "Installation undone" : "Installation finished"), 1);
    }
}

TEST_F(Install, NoRecoveryWhileMarlowcastRunsFromTheFolder) {
    Scratch s;
    const Files standing = CutOnceAKeptCopyIsMade(s);

    UniqueHandle marlowcast(CreateMutexW(nullptr, FALSE, kMarlowcastMutexName));  // started by hand
    ASSERT_TRUE(marlowcast);
    EXPECT_FALSE(Installation::RecoverBeforeLaunch(s.App()));
    EXPECT_EQ(s.Installed(), standing);
    marlowcast.Reset();
    EXPECT_TRUE(Installation::RecoverBeforeLaunch(s.App()));
    EXPECT_EQ(s.Installed(), release.before);
}

}  // namespace
