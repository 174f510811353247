// An upgrade cut short: Quillstone is killed at moments spread over the
// installation, and the next start leaves one whole release in the folder,
// old or new, with nothing of the installation's own beside it.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <thread>

#include "package/UibWriter.h"
#include "res/resource.h"
#include "tests/e2e/ReliabilityHelpers.h"
#include "tools/driver/E2eSupport.h"

using namespace e2e;
using namespace rel;

namespace {

using Files = std::map<std::string, std::string>;  // relative path -> content, "<dir>" for a folder

Files Listing(const std::wstring& folder, const std::string& prefix = "") {
    Files files;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return files;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::string relative = prefix + std::string(name.begin(), name.end());
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            files[relative] = "<dir>";
            for (const auto& inner : Listing(folder + L"\\" + name, relative + "\\")) files.insert(inner);
        } else {
            files[relative] = ReadFileBytes(folder + L"\\" + name);
        }
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return files;
}

// The release in the folder: without the installation's own folder, where a
// release on probation keeps its journal and the files it replaced.
Files Release(const std::wstring& folder) {
    Files files = Listing(folder);
    files.erase(files.lower_bound("Quillstone-upgrade"), files.lower_bound("Quillstone-upgrade]"));  // and below
    return files;
}

void Lay(const std::wstring& folder, const Files& files) {
    for (const auto& [path, content] : Listing(folder)) {
        if (content != "<dir>") DeleteFileW((folder + L"\\" + Widen(path)).c_str());
    }
    for (const auto& [path, content] : Listing(folder)) RemoveDirectoryW((folder + L"\\" + Widen(path)).c_str());
    for (const auto& [path, content] : files) {
        if (content == "<dir>") {
            CreateDirectoryW((folder + L"\\" + Widen(path)).c_str(), nullptr);
        } else {
            WriteFileBytes(folder + L"\\" + Widen(path), content);
        }
    }
}

std::string Pattern(char seed, size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(seed + (i * 131 + i / 4096) % 61);
    return s;
}

class Interrupted : public UpgradeFixture {
protected:
    void SetUp() override {
        UpgradeFixture::SetUp();
        temp = install.Path(L"tmp");
        CreateDirectoryW(temp.c_str(), nullptr);
    }
    // Starts a supervisor whose temporary folder the test watches.
    void Start() {
        sup = std::make_unique<Supervisor>(install, app, std::vector<std::wstring>{L"TMP=" + temp, L"TEMP=" + temp});
        ASSERT_TRUE(WaitUntilSupervising(*sup, install, StandInStarts(install).size() + 1));
    }
    // A download's file in the upgrade's own folder under the temporary one.
    std::wstring DownloadPath(const std::string& name) {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((temp + L"\\Quillstone-*").c_str(), &found);
        std::wstring path;
        for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
            path = temp + L"\\" + found.cFileName + L"\\" + Widen(name) + L".tmp";
            if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) break;
        }
        if (search != INVALID_HANDLE_VALUE) FindClose(search);
        return path;
    }
    // True once every download is complete in the temporary folder. Asked
    // of the open files, which is quick: the downloads go again once the
    // installation ends, and reading them whole between polls would miss it.
    bool Downloaded(const std::map<std::string, size_t>& sizes) {
        for (const auto& [name, size] : sizes) {
            HANDLE file =
                CreateFileW(DownloadPath(name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
            if (file == INVALID_HANDLE_VALUE) return false;
            LARGE_INTEGER length = {};
            const bool complete = GetFileSizeEx(file, &length) && static_cast<size_t>(length.QuadPart) == size;
            CloseHandle(file);
            if (!complete) return false;
        }
        return true;
    }
    std::wstring temp;
};

TEST_F(Interrupted, AKillAtAnyMomentOfTheInstallationLeavesTheOldReleaseOrTheNewOne) {
    constexpr size_t kLarge = 12u << 20;
    const std::string newA = Pattern('a', kLarge), newB = Pattern('b', kLarge), newC = Pattern('c', kLarge);
    std::vector<unsigned char> packed;
    ASSERT_EQ(uib::PackUib(newC.data(), newC.size(), uib::PackOptions{}, &packed).error, uib::PackError::kNone);
    const std::map<std::string, std::string> served = {{"kill-a.bin", newA},
                                                       {"kill-b.bin", newB},
                                                       {"kill-c.dat.uib", std::string(packed.begin(), packed.end())},
                                                       {"kill-d.txt", "new d"}};
    std::map<std::string, size_t> sizes;
    for (const auto& [name, bytes] : served) {
        Serve(name, bytes);
        sizes[name] = bytes.size();
    }
    // A replaced plain file, a new one in a new folder, a replaced file from
    // a package, a new small file, and a file the list does not name.
    OfferList({"kill-a.bin", "sub\\kill-b.bin", "kill-c.dat.uib", "kill-d.txt"});
    const Files oldSet = {{"kill-a.bin", "old a"}, {"kill-c.dat", "old c"}, {"keep.txt", "not listed"}};
    const Files newSet = {{"kill-a.bin", newA}, {"kill-c.dat", newC},      {"keep.txt", "not listed"},
                          {"sub", "<dir>"},     {"sub\\kill-b.bin", newB}, {"kill-d.txt", "new d"}};

    // One whole upgrade first, to learn how long the installation takes: from
    // the end of the downloads until the result is shown. (Its journal lives
    // for a fraction of a second once Marlowcast is gone, often less than one
    // look at the downloads takes on a loaded machine: waiting to see it was
    // a wait for something already over.)
    Lay(app, oldSet);
    Start();
    ASSERT_EQ(StandInCommand("upgrade"), "ok");
    ASSERT_TRUE(WaitFor([&] { return Downloaded(sizes); }, 60s, 2ms));
    const auto downloaded = Clock::now();
    std::wstring text;
    ASSERT_TRUE(DismissMessageBox(&text, 60s));
    const auto installTook = Clock::now() - downloaded;
    ASSERT_EQ(text, L"Upgrade OK!");
    ASSERT_EQ(Release(app), newSet);
    std::printf("measured: the result was shown %lld ms after the downloads\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(installTook).count()));
    sup.reset();

    // Then killed at moments spread from the end of the downloads to a
    // little past the end of the installation; each kill is followed by a
    // start, which launches Marlowcast only after it has recovered.
    constexpr int kKills = 24;
    int outcomes[3] = {};  // old, new, anything else
    Lay(app, oldSet);
    Start();
    for (int k = 0; k < kKills; ++k) {
        SCOPED_TRACE("kill " + std::to_string(k));
        // The files of a killed upgrade went with it; its folder goes at the next.
        ASSERT_TRUE(WaitFor([&] { return !Downloaded(sizes); }, 10s));
        ASSERT_EQ(StandInCommand("upgrade"), "ok");
        ASSERT_TRUE(WaitFor([&] { return Downloaded(sizes); }, 60s, 2ms));
        std::this_thread::sleep_for(installTook * k / (kKills - 3));
        TerminateProcess(sup->Process(), 1);
        ASSERT_TRUE(sup->Exited(10s));
        for (HWND box : MessageBoxes()) PressOk(box);  // a result shown just before the kill
        sup.reset();

        Start();
        const Files now = Release(app);
        const int outcome = now == oldSet ? 0 : now == newSet ? 1 : 2;
        ++outcomes[outcome];
        EXPECT_NE(outcome, 2) << "neither release: " << ::testing::PrintToString(now);
        Lay(app, oldSet);
    }
    std::printf("measured: %d kills: %d left the old release, %d the new one, %d anything else\n", kKills, outcomes[0],
                outcomes[1], outcomes[2]);
    EXPECT_EQ(outcomes[2], 0);
}

// A start that finds an interrupted installation but cannot undo it (a kept
// copy is held open by somebody) does not launch Marlowcast into the mixed
// folder, and the next start finishes the undo and launches it.
TEST_F(Interrupted, ARecoveryThatCannotFinishLaunchesNothingAndTheNextStartCompletesIt) {
    // What a kill leaves right after the first target was replaced.
    Lay(app, {{"held.txt", "new"}, {"Quillstone-upgrade", "<dir>"}, {"Quillstone-upgrade\\1.old", "old"}});
    WriteFileBytes(InApp("Quillstone-upgrade\\journal"),
                   "Quillstone-Upgrade-Journal 2\nstate\tcommitting\nentry\t1\theld.txt\tQuillstone-upgrade\\1.new\t"
                   "Quillstone-upgrade\\1.old\n");
    const std::string journalFound = "Recovery: installation journal " + std::string(app.begin(), app.end()) +
                                     "\\Quillstone-upgrade\\journal found, state committing (1 file, 0 replaced files "
                                     "left), undoing the installation";
    {
        EventLogReader log;
        HANDLE held = CreateFileW(InApp("Quillstone-upgrade\\1.old").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        const size_t starts = StandInStarts(install).size();
        sup = std::make_unique<Supervisor>(install, app);
        // The recovery waits for the held file as long as it would for a
        // scanner, then gives up this launch.
        EXPECT_TRUE(WaitFor([&] { return sup->ItemText(IDC_START_STATUS) == L"Start Marlowcast Failed!"; }, 40s));
        EXPECT_EQ(StandInStarts(install).size(), starts) << "nothing launched into a half-installed folder";
        EXPECT_EQ(ReadFileBytes(InApp("held.txt")), "new") << "the target is never absent";
        EXPECT_FALSE(ReadFileBytes(InApp("Quillstone-upgrade\\journal")).empty()) << "the journal stays";
        sup.reset();
        CloseHandle(held);
        // The log says what was found, what held the recovery up and that
        // nothing was launched; the launch is retried, so these may repeat.
        EXPECT_GE(log.Matching(journalFound).size(), 1u) << log.Dump();
        EXPECT_GE(log.Matching("\\app\\Quillstone-upgrade\\1.old is held by another program, error 32 ").size(), 1u);
        EXPECT_GE(log.Matching("Undo left at " + std::string(app.begin(), app.end()) + "\\held.txt: error 32 (").size(),
                  1u);
        EXPECT_GE(log.Matching("held back: an interrupted upgrade is not recovered yet").size(), 1u);
        EXPECT_TRUE(log.Matching("Launched ").empty());
    }
    EventLogReader log;
    Start();
    EXPECT_EQ(Listing(app), (Files{{"held.txt", "old"}}));
    EXPECT_EQ(log.Matching(journalFound).size(), 1u) << log.Dump();
    EXPECT_EQ(
        log.Matching("Installation undone: every target in " + std::string(app.begin(), app.end()) + " is as it was")
            .size(),
        1u);
}

}  // namespace
