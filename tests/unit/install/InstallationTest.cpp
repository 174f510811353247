// All-or-nothing installation on real files: every power cut, at every step,
// leaves the old set or the new set once the next start has recovered; every
// failure leaves the folder as it was.
#include "install/Installation.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/Handles.h"
#include "base/Protocol.h"
#include "install/EntryPath.h"
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
    // Each entry: its target, and its content (a package when the target ends in ".uib").
    std::vector<std::pair<std::wstring, std::string>> listed = {{L"a.txt", "new a, first"},
                                                                {L"sub\\b.txt", "new b"},
                                                                {L"c.dat.uib", "new c"},
                                                                {L"d.bin", "new d"},
                                                                {L"a.txt", "new a, second"}};
    std::vector<InstallItem> Items(const Scratch& s) const {
        std::vector<InstallItem> items;
        for (const auto& [target, content] : listed) {
            const bool package = target.size() > 4 && target.compare(target.size() - 4, 4, L".uib") == 0;
            items.emplace_back(s.Held(std::to_string(items.size()), package ? Package(content) : content),
                               package ? target.substr(0, target.size() - 4) : target, package);
        }
        return items;
    }
};

// The name under which a replaced target is kept, or "" while there is none.
std::string KeptOf(const Scratch& s, const std::string& target) {
    Journal journal;
    if (ReadJournal(s.App(), &journal) != JournalFound::kRead) return "";
    for (const JournalEntry& e : journal.entries) {
        if (e.target == target && fs::exists(s.root / "app" / e.kept)) return e.kept;
    }
    return "";
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
        cut.SetStepGate([&] { return KeptOf(s, "a.txt").empty(); });
        EXPECT_EQ(cut.Install(release.Items(s), running, [] {}), Installation::Result::kInterrupted);
        return s.Installed();
    }

    // The release installed on probation, with two failed launches counted.
    Files OnProbation(const Scratch& s) {
        s.Lay(release.before);
        Installation installation(s.App());
        installation.KeepForRollback("signed 1 7");
        EXPECT_EQ(installation.Install(release.Items(s), running, [] {}), Installation::Result::kInstalled);
        EXPECT_EQ(Installation(s.App()).CountFailedLaunch(), 1);
        EXPECT_EQ(Installation(s.App()).CountFailedLaunch(), 2) << "counted in the journal";
        return s.Installed();
    }

    StopFlag running;
    Release release;
};

TEST_F(Install, EveryPowerCutEndsInTheOldSetOrTheNewSetOnceTheNextStartHasRecovered) {
    // Besides the release above, lists whose names an installation that kept
    // its copies beside the targets took for its own.
    const Release lists[] = {
        release,
        {{{"Marlowcast.exe", "old m"}, {"lang.~old", "<dir>"}, {"lang.~old\\lang.dat", "old lang"}},
         {{"Marlowcast.exe", "new m"}, {"lang.~old", "<dir>"}, {"lang.~old\\lang.dat", "new lang"}},
         {{L"Marlowcast.exe", "new m"}, {L"lang.~old\\lang.dat.uib", "new lang"}}},
        {{{"Marlowcast.exe", "old m"}},
         {{"Marlowcast.exe", "new m"},
          {"Quillstone-upgrade.journal.rejected", "<dir>"},
          {"Quillstone-upgrade.journal.rejected\\x.txt", "new x"}},
         {{L"Quillstone-upgrade.journal.rejected\\x.txt", "new x"}, {L"Marlowcast.exe", "new m"}}},
        {{{"Marlowcast.exe", "old m"}},
         {{"Marlowcast.exe", "new m"}, {"Marlowcast.exe.~old", "<dir>"}, {"Marlowcast.exe.~old\\Marlowcast.exe", "m"}},
         {{L"Marlowcast.exe", "new m"}, {L"Marlowcast.exe.~old\\Marlowcast.exe", "m"}}},
        // One new folder named in two letter cases: the journal must still
        // be read back as the installation's own.
        {{{"Marlowcast.exe", "old m"}},
         {{"Marlowcast.exe", "new m"}, {"sub", "<dir>"}, {"sub\\x.txt", "second"}},
         {{L"sub\\x.txt", "first"}, {L"Marlowcast.exe", "new m"}, {L"SUB\\x.txt", "second"}}},
    };
    for (const Release& release : lists) {
        SCOPED_TRACE(::testing::PrintToString(release.after));
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
        EXPECT_GT(outcomes[0], 5);
        EXPECT_GT(outcomes[1], 0) << "a cut after every new file is in place keeps the new set";
        EXPECT_EQ(outcomes[2], 0);
    }
}

// Each entry in turn cannot be installed, in each way a target can resist:
// the installation fails and the folder is exactly as before.
TEST_F(Install, AFailureAtAnyEntryLeavesTheFolderAsItWas) {
    const Files before = {{"one.txt", "old one"}, {"three.dat", "old three"}, {"four.txt", "old four"}};
    enum class Resists {
        kReadOnly,
        kHeldOpen,
        kHeldOpenOnceStaged,
        kCorruptPackage,
        kFolderNameTaken,
        kDecodesPastWhatWasSigned,
        kDecodesPastTheVolumesFloor,
        kStagedCopiesMadeReadOnly,  // by another program, before the undo removes them
    };
    const Resists kinds[] = {Resists::kReadOnly,
                             Resists::kHeldOpen,
                             Resists::kHeldOpenOnceStaged,
                             Resists::kCorruptPackage,
                             Resists::kFolderNameTaken,
                             Resists::kDecodesPastWhatWasSigned,
                             Resists::kDecodesPastTheVolumesFloor,
                             Resists::kStagedCopiesMadeReadOnly};
    for (Resists kind : kinds) {
        for (std::size_t failing = 0; failing < 4; ++failing) {
            SCOPED_TRACE("kind " + std::to_string(static_cast<int>(kind)) + ", entry " + std::to_string(failing));
            Scratch s;
            s.Lay(before);
            std::vector<InstallItem> items = {{s.Held("1", "new one"), L"one.txt", false},
                                              {s.Held("2", "new two"), L"sub\\two.txt", false},
                                              {s.Held("3", Package("new three")), L"three.dat", true},
                                              {s.Held("4", "new four"), L"four.txt", false}};
            InstallItem& bad = items[failing];
            const std::wstring target = s.App() + L"\\" + bad.target;
            const auto holdTarget = [&target] {
                return UniqueHandle(CreateFileW(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            };
            if (kind == Resists::kReadOnly || kind == Resists::kHeldOpen || kind == Resists::kHeldOpenOnceStaged) {
                fs::create_directories(fs::path(target).parent_path());
                Scratch::Write(target, "old, resisting");
            } else if (kind == Resists::kCorruptPackage || kind == Resists::kStagedCopiesMadeReadOnly) {
                bad.source = s.Held("bad", "UMIB\x10\0\0\0garbage-garbage");
                bad.package = true;
            } else if (kind == Resists::kDecodesPastWhatWasSigned || kind == Resists::kDecodesPastTheVolumesFloor) {
                bad.source = s.Held("bad", Package(std::string(100000, 'z')));
                bad.package = true;
                if (kind == Resists::kDecodesPastWhatWasSigned) bad.decodedLimit = 99999;
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
            if (kind == Resists::kDecodesPastTheVolumesFloor) {
                installation.SetFreeSpaceQuery([](const std::wstring&, std::uint64_t* free) {
                    *free = kFreeSpaceFloor + 99999;
                    return true;
                });
            }
            if (kind == Resists::kStagedCopiesMadeReadOnly) {
                installation.SetStepGate([&s] {
                    std::error_code none;
                    for (const auto& f : fs::directory_iterator(s.root / "app" / kTransactionFolder, none)) {
                        SetFileAttributesW(f.path().c_str(), FILE_ATTRIBUTE_READONLY);
                    }
                    return true;
                });
            }
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
        return KeptOf(s, "a.txt").empty() || !now.count("a.txt") || now.at("a.txt") == "old a";
    });
    ASSERT_EQ(installation.Install(release.Items(s), running, [] {}), Installation::Result::kInterrupted);
    const std::wstring kept = (s.root / "app" / KeptOf(s, "a.txt")).wstring();

    {
        UniqueHandle held(CreateFileW(kept.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        Installation recovery(s.App());
        recovery.SetPatience(0);
        EXPECT_FALSE(recovery.Recover());
        EXPECT_TRUE(fs::exists(JournalPath(s.App()))) << "the journal stays for the next start";
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
            const std::wstring kept = (s.root / "app" / KeptOf(s, "a.txt")).wstring();
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
            EXPECT_EQ(s.Installed()["Quillstone-upgrade\\journal"], standing.at("Quillstone-upgrade\\journal"))
                << "the record needed to restore the folder is kept as it was";
            held.Reset();
            EXPECT_TRUE(Installation(s.App()).Recover());
            EXPECT_EQ(s.Installed(), release.before);
        }
    }
}

// Lists that name the installation's own folder, or an existing file by
// another spelling of its name, fail whole.
TEST_F(Install, TargetsNeverReachTheInstallationsOwnFolderNorAFileByAnotherName) {
    Scratch s;
    s.Lay({{"Marlowcast.exe", "old m"}});
    wchar_t alias[MAX_PATH] = {};
    const std::wstring exe = s.App() + L"\\Marlowcast.exe";
    ASSERT_NE(GetShortPathNameW(exe.c_str(), alias, MAX_PATH), 0u);
    const std::wstring shortName = fs::path(alias).filename().wstring();
    ASSERT_NE(shortName, L"Marlowcast.exe") << "the volume makes short names";
    const std::vector<std::vector<std::wstring>> refused = {
        {L"Quillstone-upgrade\\journal"}, {L"x", L"quillstone-UPGRADE\\1.old"}, {L"Quillstone-upgrade"}, {shortName}};
    for (const auto& targets : refused) {
        SCOPED_TRACE(::testing::PrintToString(targets));
        std::vector<InstallItem> items;
        for (const std::wstring& t : targets) items.emplace_back(s.Held("n", "new"), t, false);
        Installation installation(s.App());
        EXPECT_EQ(installation.Install(items, running, [] {}), Installation::Result::kFailed);
        EXPECT_EQ(s.Installed(), (Files{{"Marlowcast.exe", "old m"}}));
    }
    // A folder on the way that is a junction or a link to somewhere else, as
    // the target's own folder or one above it: nothing moves there. (Links
    // made under Wine show no attributes: the folders play them.)
    fs::create_directories(s.root / "app" / "plugins" / "sub");
    fs::create_directories(s.root / "app" / "deep" / "link");
    const auto links = [&s](const std::wstring& path) {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        const bool link = path == s.App() + L"\\plugins" || path == s.App() + L"\\deep\\link";
        return link ? attributes | FILE_ATTRIBUTE_REPARSE_POINT : attributes;
    };
    for (const wchar_t* target : {L"plugins\\sub\\x.dll", L"deep\\link\\x.dll", L"plugins\\y.dll"}) {
        SCOPED_TRACE(::testing::PrintToString(std::wstring(target)));
        const std::vector<InstallItem> items = {{s.Held("n", "new"), target, false}};
        Installation installation(s.App());
        installation.SetAttributesQuery(links);
        EXPECT_EQ(installation.Install(items, running, [] {}), Installation::Result::kFailed);
        EXPECT_EQ(s.Installed(), (Files{{"Marlowcast.exe", "old m"},
                                        {"deep", "<dir>"},
                                        {"deep\\link", "<dir>"},
                                        {"plugins", "<dir>"},
                                        {"plugins\\sub", "<dir>"}}));
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
        const std::vector<InstallItem> items = {{s.Held("a", "release " + std::to_string(r)), L"a.txt", false}};
        ASSERT_EQ(installation.Install(items, running, [] {}), Installation::Result::kInstalled);
        EXPECT_EQ(s.Installed()["a.txt"], "release " + std::to_string(r));
        EXPECT_TRUE(fs::exists(JournalPath(s.App()))) << "the leftovers stay recorded";
    }
    held.clear();
    EXPECT_TRUE(Installation(s.App()).Recover());
    EXPECT_EQ(s.Installed(), (Files{{"a.txt", "release 11"}})) << "every leftover and the journal gone";
}

// A journal is read as untrusted input: one that names files outside the
// folder, or side names that are not its targets', is set aside in any state
// and acted on in none.
TEST_F(Install, AHostileJournalIsSetAsideAndNeverActedOn) {
    const char* const states[] = {"staging", "committing", "undone", "finishing", "probation"};
    const char* const entries[] = {
        "entry\t1\t..\\other\\file\t..\\other\\file.~new\t..\\other\\file.~old\n",
        "entry\t0\t..\\other\\file\t..\\other\\file.~new\t..\\other\\file.~old\n",
        "entry\t1\tmine.txt\t..\\other\\file.~new\t..\\other\\file.~old\n",
        "entry\t1\tmine.txt\tQuillstone-upgrade\\1.new\t..\\other\\file.~old\n",
        "leftover\t..\\other\\file\t..\\other\\file.~old\n",
    };
    const Files outside = {{"file", "a user's file"}, {"file.~new", "a user's new"}, {"file.~old", "a user's old"}};
    {
        for (const char* state : states) {
            for (const char* entry : entries) {
                SCOPED_TRACE(std::string(state) + ": " + entry);
                Scratch s;
                s.Lay({{"mine.txt", "mine"}});
                fs::create_directories(s.root / "other");
                for (const auto& [name, content] : outside) Scratch::Write(s.root / "other" / name, content);
                const std::string journal = std::string("Quillstone-Upgrade-Journal 2\nstate\t") + state + "\n" + entry;
                fs::create_directories(fs::path(JournalPath(s.App())).parent_path());
                Scratch::Write(JournalPath(s.App()), journal);

                EXPECT_TRUE(Installation(s.App()).Recover()) << "it blocks nothing";
                Files expected = {{"mine.txt", "mine"}};
                expected[fs::relative(JournalPath(s.App()) + L".rejected", s.App()).string()] = journal;
                expected["Quillstone-upgrade"] = "<dir>";
                EXPECT_EQ(s.Installed(), expected);
                for (const auto& [name, content] : outside) {
                    std::ifstream in(s.root / "other" / name, std::ios::binary);
                    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content) << name;
                }
            }
        }
    }
}

// Whatever stands where the journal or the installation's folder should be
// never holds Marlowcast back; files under the names an earlier layout of the
// journal used beside the targets are a list's like any others.
TEST_F(Install, WhatStandsWhereTheJournalShouldBeNeverHoldsALaunchBack) {
    const std::string legacy =
        "Quillstone-Upgrade-Journal 1\nstate\tcommitting\nentry\t1\ta.txt\ta.txt.~new\ta.txt.~old\n";
    const struct {
        const char* what;
        Files laid, after;
    } cases[] = {

        {"a folder where the journal is",
         {{"Quillstone-upgrade\\journal", "<dir>"}},
         {{"Quillstone-upgrade", "<dir>"}, {"Quillstone-upgrade\\journal.rejected", "<dir>"}}},
        {"a file where the installation's folder is",
         {{"Quillstone-upgrade", "a file"}},
         {{"Quillstone-upgrade", "a file"}}},
        {"files under an earlier layout's names",
         {{"a.txt", "new a"},
          {"a.txt.~old", "old a"},
          {"Quillstone-upgrade.journal", legacy},
          {"Quillstone-upgrade.journal.~new", legacy},
          {"Quillstone-upgrade.journal.rejected", legacy}},
         {{"a.txt", "new a"},
          {"a.txt.~old", "old a"},
          {"Quillstone-upgrade.journal", legacy},
          {"Quillstone-upgrade.journal.~new", legacy},
          {"Quillstone-upgrade.journal.rejected", legacy}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Scratch s;
        s.Lay(c.laid);
        EXPECT_TRUE(Installation::RecoverBeforeLaunch(s.App(), running));
        EXPECT_EQ(s.Installed(), c.after);
    }
}

// Ten replaced files held by another program: the shutdown cuts the recovery
// before a launch short between two of its steps, and the next start ends it.
TEST_F(Install, TheShutdownCutsARecoveryHeldUpByManyFilesShort) {
    Scratch s;
    Release ten;
    ten.listed.clear();
    for (int i = 0; i < 10; ++i) {
        const std::string name = "f" + std::to_string(i);
        ten.before[name] = "old";
        ten.listed.push_back({std::wstring(name.begin(), name.end()), "new"});
    }
    s.Lay(ten.before);
    Installation cut(s.App());
    cut.SetStepGate([&] { return KeptOf(s, "f9").empty(); });
    ASSERT_EQ(cut.Install(ten.Items(s), running, [] {}), Installation::Result::kInterrupted);
    std::vector<UniqueHandle> held;
    for (const auto& item : fs::directory_iterator(s.root / "app" / kTransactionFolder)) {
        if (item.path().extension() == ".old") {
            held.emplace_back(CreateFileW(item.path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        }
    }
    ASSERT_EQ(held.size(), 10u);

    StopFlag shutdown;
    shutdown.Start();
    std::thread exitSoon([&] {
        Sleep(1000);
        shutdown.Stop();
    });
    const ULONGLONG started = GetTickCount64();
    EXPECT_FALSE(Installation::RecoverBeforeLaunch(s.App(), shutdown));
    exitSoon.join();
    EXPECT_LT(GetTickCount64() - started, 5000u) << "the shutdown waits for no held file";
    held.clear();
    EXPECT_TRUE(Installation::RecoverBeforeLaunch(s.App(), running));
    EXPECT_EQ(s.Installed(), ten.before);
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

// A release on probation stays undoable. Its rollback refuses it before
// anything moves and, cut at any step, ends in the old set once the next start
// has recovered, or (cut before it began) still on probation; never while
// Marlowcast runs. Accepted, or followed by another upgrade, it loses its
// kept copies; without one of them it cannot be rolled back and stays.
TEST_F(Install, AReleaseOnProbationIsRolledBackAllOrNothingOrKept) {
    const auto onProbation = [&](const Scratch& s) { return OnProbation(s); };
    int outcomes[2] = {};  // old set, still on probation
    for (int allowed = 0;; ++allowed) {
        SCOPED_TRACE("rollback cut after " + std::to_string(allowed) + " steps");
        Scratch s;
        const Files installed = onProbation(s);
        Installation rollback(s.App());
        int steps = 0;
        rollback.SetStepGate([&] { return steps++ < allowed; });
        std::vector<std::string> refused;
        const bool back = rollback.RollBack(
            L"a test",
            [&](const std::string& name) {
                EXPECT_EQ(s.Installed(), installed) << "refused before anything moves";
                return refused.push_back(name), true;
            },
            running);
        EXPECT_EQ(refused, std::vector<std::string>{"signed 1 7"});
        EXPECT_TRUE(Installation(s.App()).Recover());
        const Files now = s.Installed();
        ++outcomes[now == release.before ? 0 : 1];
        if (now != release.before) {
            EXPECT_EQ(now, installed);
        }
        if (back) {
            EXPECT_EQ(now, release.before);
            break;
        }
        ASSERT_LT(allowed, 200) << "the rollback never ends";
    }
    std::printf("measured: rollback cuts: %d left the old set, %d the release\n", outcomes[0], outcomes[1]);
    EXPECT_GT(outcomes[0], 5);
    EXPECT_EQ(outcomes[1], 1) << "only a cut before the rollback is recorded keeps the release";

    // Accepted, upgraded again, without a kept copy, while Marlowcast runs,
    // with a refusal that cannot be recorded, with one of its files held by
    // another program (a viewer).
    for (int end = 0; end < 6; ++end) {
        SCOPED_TRACE(end);
        Scratch s;
        const Files installed = onProbation(s);
        Files expected = release.after;
        UniqueHandle marlowcast;
        if (end == 0) {
            EXPECT_TRUE(Installation(s.App()).AcceptRelease());
        }
        if (end == 1) {
            const std::vector<InstallItem> items = {{s.Held("n", "newer d"), L"d.bin", false}};
            EXPECT_EQ(Installation(s.App()).Install(items, running, [] {}), Installation::Result::kInstalled);
            expected["d.bin"] = "newer d";
        }
        if (end == 2) fs::remove(s.root / "app" / KeptOf(s, "a.txt"));
        if (end == 3) marlowcast.Reset(CreateMutexW(nullptr, FALSE, kMarlowcastMutexName)), expected = installed;
        if (end == 4) expected = installed;
        UniqueHandle viewer;
        if (end == 5) {
            viewer.Reset(CreateFileW((s.App() + L"\\sub\\b.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
            expected = installed;
        }
        if (end >= 2) {
            Installation rollback(s.App());
            rollback.SetPatience(0);
            EXPECT_FALSE(rollback.RollBack(
                L"a test", [end](const std::string&) { return end != 4; }, running));
        }
        EXPECT_EQ(s.Installed(), expected);
        EXPECT_EQ(Installation(s.App()).OnProbation(), end >= 3);
        if (end == 5) {
            EXPECT_EQ(Installation(s.App()).CountFailedLaunch(3), 3);
            EXPECT_EQ(Installation(s.App()).CountFailedLaunch(3), 3) << "the count stays at its limit";
            viewer.Reset();
            EXPECT_TRUE(Installation(s.App()).RollBack(
                L"a test", [](const std::string&) { return true; }, running))
                << "tried again at a later failed launch";
            EXPECT_EQ(s.Installed(), release.before);
        }
    }
}

// While an upgrade installs, the watch thread's work on the journal waits for
// it: nothing reads a record that is being replaced, nor writes back over
// one it has not read.
TEST_F(Install, TheJournalHasOneOwnerAtATime) {
    const std::function<void(const std::wstring&)> watchThreadWork[] = {
        [](const std::wstring& app) { Installation(app).CountFailedLaunch(); },
        [](const std::wstring& app) { Installation(app).AcceptRelease(); },
        [](const std::wstring& app) { Installation(app).OnProbation(); },
        [this](const std::wstring& app) { Installation::RecoverBeforeLaunch(app, running); },
    };
    for (std::size_t w = 0; w < std::size(watchThreadWork); ++w) {
        SCOPED_TRACE(w);
        Scratch s;
        s.Lay(release.before);
        Installation first(s.App());
        first.KeepForRollback("signed 1 7");
        ASSERT_EQ(first.Install(release.Items(s), running, [] {}), Installation::Result::kInstalled);
        const std::vector<InstallItem> items = {{s.Held("n", "newer d"), L"d.bin", false}};
        Installation next(s.App());
        next.KeepForRollback("signed 1 8");
        std::atomic<bool> done{false};
        std::thread watch;
        bool doneDuringAStep = false;
        next.SetStepGate([&] {
            if (!watch.joinable()) {
                watch = std::thread([&] { watchThreadWork[w](s.App()), done = true; });
                for (int waited = 0; waited < 50 && !done; ++waited) Sleep(10);
            }
            doneDuringAStep = doneDuringAStep || done;
            return true;
        });
        EXPECT_EQ(next.Install(items, running, [] {}), Installation::Result::kInstalled);
        watch.join();
        EXPECT_FALSE(doneDuringAStep) << "the watch thread's work ran in the middle of an installation";
    }
}

// The shutdown during the commit stops it between two moves, at once, and
// the next start completes it: the old set or the new set.
TEST_F(Install, TheShutdownCutsTheCommitBetweenTwoMoves) {
    Scratch s;
    s.Lay(release.before);
    Installation installation(s.App());
    installation.SetStepGate(OnceIn(s, Journal::State::kCommitting, [&](const Journal&) { running.Stop(); }));
    EXPECT_EQ(installation.Install(release.Items(s), running, [] {}), Installation::Result::kInterrupted);
    running.Start();
    EXPECT_TRUE(Installation(s.App()).Recover());
    EXPECT_EQ(s.Installed(), release.before);
}

TEST_F(Install, NoRecoveryWhileMarlowcastRunsFromTheFolder) {
    Scratch s;
    const Files standing = CutOnceAKeptCopyIsMade(s);

    UniqueHandle marlowcast(CreateMutexW(nullptr, FALSE, kMarlowcastMutexName));  // started by hand
    ASSERT_TRUE(marlowcast);
    EXPECT_FALSE(Installation::RecoverBeforeLaunch(s.App(), running));
    EXPECT_EQ(s.Installed(), standing);
    marlowcast.Reset();
    EXPECT_TRUE(Installation::RecoverBeforeLaunch(s.App(), running));
    EXPECT_EQ(s.Installed(), release.before);
}

}  // namespace
