#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "upgrade/UpgradeList.h"

namespace {

std::string Pair(int n, const std::string& content) {
    const std::string number = (n < 10 ? "0" : "") + std::to_string(n);
    return "<File_Name" + number + ">" + content + "</File_Name" + number + ">";
}

TEST(UpgradeList, TakesTheEntriesByTheListRules) {
    const std::string b64(64, 'b'), b65(65, 'b');
    const struct {
        const char* what;
        std::string text;
        std::vector<std::string> entries;
    } cases[] = {
        {"around other text",
         "200 OK\r\n<List>" + Pair(1, "a.exe") + Pair(2, "lang\\de.uib") + "</List>",
         {"a.exe", "lang\\de.uib"}},
        {"04 is not reached without 03", Pair(1, "a") + Pair(2, "b") + Pair(4, "d"), {"a", "b"}},
        {"number order, not text order", Pair(2, "b") + Pair(1, "a"), {"a", "b"}},
        {"64 bytes taken", Pair(1, b64), {b64}},
        {"65 bytes end the list", Pair(1, "a") + Pair(2, b65) + Pair(3, "c"), {"a"}},
        {"empty 01", Pair(1, "") + Pair(2, "b"), {}},
        {"closing before opening", Pair(1, "a") + "</File_Name02>b<File_Name02>" + Pair(3, "c"), {"a"}},
        {"only the first closing tag counts", "</File_Name01>" + Pair(1, "a"), {}},
        {"first pair of two", Pair(1, "a") + Pair(1, "b"), {"a"}},
        {"first opening, first closing", "<File_Name01>x" + Pair(1, "a") + "</File_Name01>", {"x<File_Name01>a"}},
        {"taken byte for byte", Pair(1, " a b\r\n&amp;%20\xE9 "), {" a b\r\n&amp;%20\xE9 "}},
        {"one-digit numbers are no tags", "<File_Name1>a</File_Name1>", {}},
        {"a zero byte ends the text", Pair(1, "a") + '\0' + Pair(2, "b"), {"a"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseUpgradeList(c.text.c_str()), c.entries) << c.what;
    }
}

TEST(UpgradeList, StopsAfterNinetyNineEntries) {
    std::string text = Pair(100, "f100");
    std::vector<std::string> expected;
    for (int n = 1; n <= 99; ++n) {
        text = Pair(n, "f" + std::to_string(n)) + text;
        expected.push_back("f" + std::to_string(n));
    }
    ASSERT_LT(text.size(), kUpgradeListSize);
    EXPECT_EQ(ParseUpgradeList(text.c_str()), expected);
}

TEST(UpgradeList, OnlyAnAnswerLongerThanSixteenBytesThatEndsInTheBufferIsUsable) {
    const struct {
        std::string buffer;  // all of it, zero bytes included
        bool usable;
    } cases[] = {
        {std::string(16, 'x') + '\0', false},
        {std::string(17, 'x') + '\0', true},
        {std::string(10, 'x') + '\0' + std::string(20, 'x') + '\0', false},
        {std::string(kUpgradeListSize - 1, 'x') + '\0', true},
        {std::string(kUpgradeListSize, 'x'), false},  // cut off
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsUsableUpgradeAnswer(c.buffer.data(), c.buffer.size()), c.usable) << c.buffer.size();
    }
}

}  // namespace
