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
    } cases[] = {
        // clang-format off
        {"plain", "state\tcommitting\nentry\t1\ta\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", true},
        {"leftovers", "state\tfinishing\nleftover\ta\tQuillstone-upgrade\\12.old\n", true},
        {"a target outside", "state\tcommitting\nentry\t0\t..\\other\\file\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", false},
        {"an absolute target", "state\tstaging\nentry\t0\tC:\\x\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", false},
        {"a leftover outside", "state\tfinishing\nleftover\t..\\a\tQuillstone-upgrade\\1.old\n", false},
        {"a folder outside", "state\tstaging\nfolder\t..\\x\nentry\t0\t..\\x\\a\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", false},
        {"a folder holding no target", "state\tstaging\nfolder\tDocuments\nentry\t0\ta\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", false},
        {"a folder holding a target", "state\tstaging\nfolder\tsub\nentry\t0\tsub\\a\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", true},
        {"a folder holding a target named in another letter case", "state\tstaging\nfolder\tsub\nentry\t0\tSUB\\a\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", true},
        {"a folder twice in two letter cases", "state\tstaging\nfolder\ts\nfolder\tS\nentry\t0\ts\\a\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", false},
        {"a folder twice", "state\tstaging\nfolder\ts\nfolder\ts\nentry\t0\ts\\a\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", false},
        {"a device", "state\tstaging\nentry\t0\tCOM\xC2\xB9\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", false},
        {"no state", "entry\t1\ta\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", false},
        {"two states", "state\tstaging\nstate\tfinishing\n", false},
        {"an unknown state", "state\tdone\n", false},
        {"an unknown line", "state\tstaging\nrun\tformat c:\n", false},
        {"an empty line", "state\tstaging\n\n", false},
        {"the state after an entry", "entry\t1\ta\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\nstate\tfinishing\n", false},
        {"an entry after a leftover", "state\tfinishing\nleftover\tx\tQuillstone-upgrade\\2.old\nentry\t1\ta\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", false},
        {"a folder after an entry", "state\tstaging\nentry\t0\tsub\\a\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\nfolder\tsub\n", false},
        {"a field too many", "state\tstaging\nentry\t1\ta\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\tx\n", false},
        {"existed neither 0 nor 1", "state\tstaging\nentry\t2\ta\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", false},
        {"a cut last line", "state\tstaging\nentry\t1\ta\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.o", false},
        {"a side name beside its target", "state\tstaging\nentry\t0\ta\ta.~new\ta.~old\n", false},
        {"a side name outside the folder", "state\tstaging\nentry\t0\ta\tQuillstone-upgrade\\..\\x.new\tQuillstone-upgrade\\1.old\n", false},
        {"a side name not numbered", "state\tstaging\nentry\t0\ta\tQuillstone-upgrade\\journal.new\tQuillstone-upgrade\\1.old\n", false},
        {"a leading zero", "state\tstaging\nentry\t0\ta\tQuillstone-upgrade\\01.new\tQuillstone-upgrade\\1.old\n", false},
        {"one side name twice", "state\tfinishing\nentry\t1\ta\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\nleftover\tb\tQuillstone-upgrade\\1.old\n", false},
        {"a target in the folder", "state\tstaging\nentry\t0\tQuillstone-upgrade\\x\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", false},
        {"on probation", "state\tprobation\nrelease\tsigned 2 7\nfailures\t2\nentry\t1\ta\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\n", true},
        {"a release after an entry", "state\tprobation\nentry\t1\ta\tQuillstone-upgrade\\1.new\tQuillstone-upgrade\\1.old\nrelease\tx\n", false},
        {"a release twice", "state\tprobation\nrelease\tx\nrelease\tx\n", false},
        {"a release after the failures", "state\tprobation\nfailures\t1\nrelease\tx\n", false},
        {"a release not as the writer names one", "state\tprobation\nrelease\t..\\X\n", false},
        {"failures 0", "state\tprobation\nfailures\t0\n", false},
        {"failures 100", "state\tprobation\nfailures\t100\n", false},
        {"failures 07", "state\tprobation\nfailures\t07\n", false},
        {"failures twice", "state\tprobation\nfailures\t1\nfailures\t2\n", false},
        // clang-format on
    };
    for (const auto& c : cases) {
        Journal journal;
        EXPECT_EQ(ParseJournal("Quillstone-Upgrade-Journal 2\n" + c.body, &journal), c.accepted) << c.what;
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
