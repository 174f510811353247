// The bottom layer: the one way text goes back to the ANSI code page, and the
// mutex test that tells whether Marlowcast runs.
#include <gtest/gtest.h>

#include <aclapi.h>

#include <string>

#include "base/AnsiText.h"
#include "base/AwakeClock.h"
#include "base/Handles.h"
#include "base/MarlowcastMutex.h"
#include "base/Protocol.h"

namespace {

// Each code page with the flags Windows accepts for it: UTF-7 refuses any
// (Wine too); UTF-8 as well on Windows, which Wine does not show.
TEST(AnsiText, ConvertsExactlyOrNotAtAll) {
    const struct {
        UINT codePage;
        std::wstring text;
        std::size_t limit;
        bool converts;
        std::string ansi;
    } cases[] = {
        // clang-format off
        {1252, L"Marlowcast.exe", 64, true, "Marlowcast.exe"},
        {1252, L"\x20AC.txt", 64, true, "\x80.txt"},
        {1252, L"\x03A9mega.txt", 64, false, ""},  // no Omega in 1252; best fit would name "Omega.txt"
        {1252, L"abc", 4, true, "abc"},
        {1252, L"abcd", 4, false, ""},  // the terminator must fit too
        {1252, L"", 1, true, ""},
        {65001, L"\x00C4rger \x03A9.txt", 64, true, "\xC3\x84rger \xCE\xA9.txt"},
        {65001, std::wstring(L"a\xD800z"), 64, false, ""},  // a lone surrogate has no UTF-8 form
        {65000, L"Marlowcast.exe", 64, true, "Marlowcast.exe"},  // UTF-7: no flags
        // clang-format on
    };
    for (const auto& c : cases) {
        std::string out = "stale";
        EXPECT_EQ(ToAnsi(c.text, &out, c.limit, c.codePage), c.converts) << c.codePage << " " << c.ansi;
        EXPECT_EQ(out, c.ansi);
    }
    if (GetACP() == 1252) {
        EXPECT_EQ(FromAnsi("\x80 sub\\a.uib"), L"\x20AC sub\\a.uib");
    }
}

TEST(MarlowcastMutex, ExistsWhileHeldAndCountsAsRunningWhenItCannotBeOpened) {
    EXPECT_FALSE(IsMarlowcastRunning());
    {
        UniqueHandle held(CreateMutexW(nullptr, FALSE, kMarlowcastMutexName));
        ASSERT_TRUE(held);
        EXPECT_TRUE(IsMarlowcastRunning());
    }
    EXPECT_FALSE(IsMarlowcastRunning()) << "closing the last handle removes it";

    // A DACL that grants nobody more than SYNCHRONIZE.
    EXPLICIT_ACCESSW ea = {};
    ea.grfAccessPermissions = SYNCHRONIZE;
    ea.grfAccessMode = SET_ACCESS;
    ea.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    ea.Trustee.ptstrName = const_cast<wchar_t*>(L"EVERYONE");
    PACL acl = nullptr;
    ASSERT_EQ(SetEntriesInAclW(1, &ea, nullptr, &acl), static_cast<DWORD>(ERROR_SUCCESS));
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
    SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, FALSE};
    UniqueHandle guarded(CreateMutexW(&sa, FALSE, kMarlowcastMutexName));
    LocalFree(acl);
    ASSERT_TRUE(guarded);
    if (UniqueHandle(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, kMarlowcastMutexName))) {
        GTEST_SKIP() << "this system does not enforce the mutex's access list";
    }
    EXPECT_TRUE(IsMarlowcastRunning());
}

// The clock of healthy minutes and download paces counts milliseconds while
// the machine is awake, as the tick count does (Wine never sleeps, so that
// it stops asleep cannot be shown here).
TEST(AwakeClock, CountsMillisecondsWhileAwake) {
    const std::uint64_t awake = AwakeMilliseconds();
    const ULONGLONG ticks = GetTickCount64();
    Sleep(1500);
    const long long awakeDelta = static_cast<long long>(AwakeMilliseconds() - awake);
    const long long tickDelta = static_cast<long long>(GetTickCount64() - ticks);
    EXPECT_GT(awakeDelta, 0);
    EXPECT_LT(std::llabs(awakeDelta - tickDelta), 500) << awakeDelta << " ms awake, " << tickDelta << " ms of ticks";
}

}  // namespace
