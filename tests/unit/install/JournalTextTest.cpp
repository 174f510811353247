// The journal is read as untrusted input: only a record that names nothing
// but the installation's own files below its folder is acted on.
#include "install/JournalText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(JournalText, ReadsBackWhatItWrites) {
    Journal written;
    written.state = Journal::State::kCommitting;
    written.folders = {"sub"};
    written.entries = {{"a.txt", StagedName(1), KeptName(1), true},
                       {"sub\\b \xC3\xA9.dll", StagedName(3), KeptName(3), false}};
    written.leftovers = {{"Quillstone.exe", KeptName(2)}};
    written.release = "files 0af3";
    written.failures = 12;
    Journal read;
    ASSERT_TRUE(ParseJournal(FormatJournal(written), &read));
    EXPECT_EQ(FormatJournal(read), FormatJournal(written));
    EXPECT_TRUE(read.Unfinished());
}

TEST(JournalText, RefusesAnythingThatReachesBeyondTheInstallationsOwnFiles) {
    const struct {
        const char* what;
        std::string body;
        bool accepted;
        int version = 2;
    } cases[] = {
        // clang-format off
        // The installation's own folder, with numbered names.
        {"v2 plain", "state\tcommitting\nentry\t1\ta\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", true, 2},
        {"v2 leftovers", "state\tfinishing\nleftover\ta\tQuillstone-upgrade\\12.old\n", true, 2},
        {"v2 a side name beside its target", "state\tstaging\nentry\t0\ta\ta.~new\ta.~old\n", false, 2},
        {"v2 a side name outside the folder", "state\tstaging\nentry\t0\ta\tQuillstone-upgrade\\..\\x.new\tQuillstone-upgrade\\1.old\n", false, 2},
        {"v2 a side name not numbered", "state\tstaging\nentry\t0\ta\tQuillstone-upgrade\\journal.new\tQuillstone-upgrade\\1.old\n", false, 2},
        {"v2 a leading zero", "state\tstaging\nentry\t0\ta\tQuillstone-upgrade\\01.new\tQuillstone-upgrade\\1.old\n", false, 2},
        {"v2 one side name twice", "state\tfinishing\nentry\t1\ta\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\nleftover\tb\tQuillstone-upgrade\\1.old\n", false, 2},
        {"v2 a target in the folder", "state\tstaging\nentry\t0\tQuillstone-upgrade\\x\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", false, 2},
        {"v2 on probation", "state\tprobation\nrelease\tsigned 2 7\nfailures\t2\nentry\t1\ta\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", true, 2},
        {"v2 a release after an entry", "state\tprobation\nentry\t1\ta\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\nrelease\tx\n", false, 2},
        {"v2 a release twice", "state\tprobation\nrelease\tx\nrelease\tx\n", false, 2},
        {"v2 a release after the failures", "state\tprobation\nfailures\t1\nrelease\tx\n", false, 2},
        {"v2 a release not as the writer names one", "state\tprobation\nrelease\t..\\X\n", false, 2},
        {"v2 failures 0", "state\tprobation\nfailures\t0\n", false, 2},
        {"v2 failures 100", "state\tprobation\nfailures\t100\n", false, 2},
        {"v2 failures 07", "state\tprobation\nfailures\t07\n", false, 2},
        {"v2 failures twice", "state\tprobation\nfailures\t1\nfailures\t2\n", false, 2},
        {"v2 a target outside", "state\tcommitting\nentry\t0\t..\\other\\file\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", false, 2},
        {"v2 a folder holding no target", "state\tstaging\nfolder\tDocuments\nentry\t0\ta\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", false, 2},
        {"v2 no state", "entry\t1\ta\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", false, 2},
        {"v2 two states", "state\tstaging\nstate\tfinishing\n", false, 2},
        {"v2 the state after an entry", "entry\t1\ta\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\nstate\tfinishing\n", false, 2},
        {"v2 a field too many", "state\tstaging\nentry\t1\ta\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\tx\n", false, 2},
        {"v2 a folder holding a target named in another letter case", "state\tstaging\nfolder\tsub\nentry\t0\tSUB\\a\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", true, 2},
        {"v2 a folder twice in two letter cases", "state\tstaging\nfolder\ts\nfolder\tS\nentry\t0\ts\\a\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", false, 2},
        {"v2 a folder twice", "state\tstaging\nfolder\ts\nfolder\ts\nentry\t0\ts\\a\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", false, 2},
        // clang-format on
    };
    for (const auto& c : cases) {
        Journal journal;
        EXPECT_EQ(ParseJournal("Quillstone-Upgrade-Journal " + std::to_string(c.version) + "\n" + c.body, &journal),
                  c.accepted)
            << c.what;
    }
    Journal journal;
    for (const char* header : {"Quillstone-Upgrade-Journal 1", "Quillstone-Upgrade-Journal 3"}) {
        EXPECT_FALSE(ParseJournal(std::string(header) + "\nstate\tfinishing\nleftover\ta\tQuillstone-upgrade\\1.old\n",
                                  &journal))
            << "another layout's header: " << header;
    }
    // No more items than a list can make: a record of thousands is not ours,
    // and reading it takes no longer than reading a small one.
    std::string many = "Quillstone-Upgrade-Journal 2\nstate\tfinishing\n";
    for (unsigned n = 1; n <= kJournalItems + 1; ++n) {
        many += "leftover\ta" + std::to_string(n) + "\t" + KeptName(n) + "\n";
    }
    EXPECT_FALSE(ParseJournal(many, &journal)) << "one leftover more than a list can make";
    EXPECT_FALSE(ParseJournal(
        std::string("Quillstone-Upgrade-Journal 2\n") + "state\tstaging\n" + std::string(kJournalLimit, '#'), &journal))
        << "too long";
}

}  // namespace
