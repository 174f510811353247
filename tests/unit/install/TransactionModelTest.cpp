// A seeded random model of the transaction and the probation together:
// random lists (letter-case variants, new folders, names an earlier journal
// layout used), power cuts after a random step of an installation, a
// rollback or an acceptance, held files, counted launches. After every step
// the folder must hold exactly the release the model expects, the probation
// must be what it expects, and nothing outside the folder may change.
// QS_MODEL_SEED and QS_MODEL_RUNS replay or lengthen a run.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/Handles.h"
#include "install/Installation.h"
#include "tests/unit/upgrade/JobFixtures.h"

namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

// Windows ignores the letter case of names: so does the comparison.
Files Folded(const Files& files) {
    Files folded;
    for (const auto& [path, content] : files) {
        std::string key = path;
        for (char& c : key) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        folded[key] = content;
    }
    return folded;
}

const char* const kPool[] = {"a.txt",      "A.TXT",      "b.dat",
                             "sub\\c.txt", "SUB\\C.TXT", "sub\\e.txt",
                             "new\\f.txt", "NEW\\g.txt", "Quillstone-upgrade.journal",
                             "x.txt.~old"};

// The installed files, without the installation's own folder.
Files ReleaseOf(const jobtest::Folders& s) {
    Files files;
    for (const auto& [path, content] : s.Installed()) {
        if (path != "Quillstone-upgrade" && path.rfind("Quillstone-upgrade\\", 0) != 0) files[path] = content;
    }
    return Folded(files);
}

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

unsigned long EnvOr(const char* name, unsigned long otherwise) {
    const char* value = std::getenv(name);
    return value && *value ? std::strtoul(value, nullptr, 10) : otherwise;
}

struct Model {
    Files release;  // folded: what the folder holds
    Files before;   // folded: the release before the one on probation
    bool probation = false;
    int failures = 0;
    bool acceptCut = false;  // an acceptance cut short may already have removed kept copies
};

TEST(TransactionModel, EveryRandomSequenceEndsInOneWholeReleaseAndNeverKeepsOneThatFailed) {
    const unsigned long seed = EnvOr("QS_MODEL_SEED", static_cast<unsigned long>(std::time(nullptr)));
    const unsigned long runs = EnvOr("QS_MODEL_RUNS", 200);
    std::printf("TransactionModel: seed %lu, %lu sequences (QS_MODEL_SEED=%lu replays it)\n", seed, runs, seed);
    std::mt19937 random(seed);
    const auto pick = [&](unsigned n) { return static_cast<unsigned>(random() % n); };
    StopFlag running;
    running.Start();
    // What the run did: installations (installed, cut), rollbacks, acceptances.
    unsigned long installs = 0, installed = 0, cuts = 0, rollBacks = 0, rolledBack = 0, accepts = 0;
    for (unsigned long run = 0; run < runs && !HasFailure(); ++run) {
        jobtest::Folders s;
        fs::create_directories(s.root / "outside");
        jobtest::Folders::Write(s.root / "outside" / "theirs.txt", "not ours");
        s.Lay({{"a.txt", "base a"}, {"sub", "<dir>"}, {"sub\\c.txt", "base c"}});
        Model m;
        m.release = ReleaseOf(s);
        std::string log = "seed " + std::to_string(seed) + ", sequence " + std::to_string(run) + ":";
        for (int step = 0; step < 12 && !HasFailure(); ++step) {
            const unsigned what = pick(10);
            const int cut = pick(3) == 0 ? static_cast<int>(pick(30)) : -1;
            int steps = 0;
            const auto gate = [&] { return cut < 0 || steps++ < cut; };
            if (what < 3) {  // an upgrade
                std::vector<InstallItem> items;
                Files listed;
                const unsigned count = 1 + pick(3);
                for (unsigned i = 0; i < count; ++i) {
                    const std::string target = kPool[pick(std::size(kPool))];
                    const std::string content = "r" + std::to_string(step) + "-" + std::to_string(i);
                    InstallItem item(s.Held("m", content), Wide(target), false);
                    items.push_back(std::move(item));
                    listed[Folded({{target, ""}}).begin()->first] = content;  // the later wins
                }
                const bool keep = pick(2) == 0;
                UniqueHandle holder;
                if (pick(6) == 0) {
                    const std::string held = kPool[pick(std::size(kPool))];
                    holder.Reset(CreateFileW((s.App() + L"\\" + Wide(held)).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
                }
                log += " install" + std::string(keep ? "(keep)" : "") + (holder ? "(held)" : "") +
                       (cut >= 0 ? "(cut " + std::to_string(cut) + ")" : "");
                Files next = m.release;
                for (const auto& [path, content] : listed) {
                    next[path] = content;
                    const std::size_t slash = path.find('\\');
                    if (slash != std::string::npos) next[path.substr(0, slash)] = "<dir>";
                }
                Installation installation(s.App());
                installation.SetPatience(0);
                installation.SetStepGate(gate);
                if (keep) installation.KeepForRollback("model " + std::to_string(step));
                const Installation::Result result = installation.Install(items, running, [] {});
                holder.Reset();
                if (result == Installation::Result::kInterrupted) {
                    ASSERT_TRUE(Installation(s.App()).Recover()) << log;
                }
                const Files now = ReleaseOf(s);
                const bool done = result == Installation::Result::kInstalled ||
                                  (result == Installation::Result::kInterrupted && now == next);
                ++installs, installed += done, cuts += result == Installation::Result::kInterrupted;
                if (done) {
                    m.before = m.release;
                    m.release = next;
                    m.probation = keep, m.failures = 0, m.acceptCut = false;
                }
            } else if (what < 6) {  // a failed launch
                log += " failed-launch";
                if (m.probation) m.failures = m.failures < 3 ? m.failures + 1 : 3;
                EXPECT_EQ(Installation(s.App()).CountFailedLaunch(3), m.probation ? m.failures : 0) << log;
            } else if (what < 9) {  // the rollback at the third failed launch
                if (!m.probation || m.failures < 3) continue;
                UniqueHandle holder;
                if (pick(4) == 0) {
                    const std::string held = m.release.begin()->first;
                    holder.Reset(CreateFileW((s.App() + L"\\" + Wide(held)).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
                }
                log += " rollback" + std::string(holder ? "(held)" : "") +
                       (cut >= 0 ? "(cut " + std::to_string(cut) + ")" : "");
                Installation rollback(s.App());
                rollback.SetPatience(0);
                rollback.SetStepGate(gate);
                ++rollBacks;
                const bool back = rollback.RollBack(
                    L"the model", [](const std::string&) { return true; }, running);
                holder.Reset();
                ASSERT_TRUE(Installation(s.App()).Recover()) << log;
                const Files now = ReleaseOf(s);
                if (back || (now == m.before && now != m.release)) {
                    m.release = m.before, m.probation = false, ++rolledBack;
                } else if (m.acceptCut && !Installation(s.App()).OnProbation()) {
                    m.probation = false;  // its kept copies were gone: accepted instead
                }
            } else {  // a healthy probation ends
                log += " accept" + std::string(cut >= 0 ? "(cut " + std::to_string(cut) + ")" : "");
                Installation accept(s.App());
                accept.SetStepGate(gate);
                accept.AcceptRelease();
                ++accepts;
                ASSERT_TRUE(Installation(s.App()).Recover()) << log;
                if (cut < 0) m.probation = false;
                if (m.probation && !Installation(s.App()).OnProbation()) m.probation = false;
                if (m.probation) m.acceptCut = true;
            }
            // After every step, and every recovery: one whole release, the
            // probation as expected, a release that failed three times never
            // kept beyond its rollback, nothing outside touched.
            EXPECT_EQ(ReleaseOf(s), m.release) << log;
            EXPECT_EQ(Installation(s.App()).OnProbation(), m.probation) << log;
            std::ifstream outside(s.root / "outside" / "theirs.txt", std::ios::binary);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(outside), {}), "not ours") << log;
        }
        if (HasFailure())
            std::printf("TransactionModel: failed; replay with QS_MODEL_SEED=%lu\n%s\n", seed, log.c_str());
    }
    std::printf(
        "TransactionModel: %lu installations (%lu installed, %lu cut), %lu rollbacks (%lu back), %lu "
        "acceptances\n",
        installs, installed, cuts, rollBacks, rolledBack, accepts);
}

}  // namespace
