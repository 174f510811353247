// The .uib decoder, checker and writer, in process.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "UibCheck.h"
#include "UibDecodeHooks.h"
#include "UibPackage.h"
#include "UibWriter.h"
#include "uib_test_support.h"

using namespace uibtest;

namespace {

const char kOld[] = "the installed file, which must survive a failed decode";

TEST(DecodeUibPackage, DecodesWhatTheFormatAllowsAndLeavesTheTargetAloneOtherwise) {
    for (const DecodeCase& c : DecodeCases()) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string source = dir.Write("in.uib", c.package);
        const std::string existing = dir.Write("existing", std::string(kOld));

        EXPECT_EQ(DecodeUibPackage(source.c_str(), dir.Path("fresh").c_str()), c.result);
        EXPECT_EQ(DecodeUibPackage(source.c_str(), existing.c_str()), c.result);

        if (c.result == 1) {
            EXPECT_EQ(ReadAll(dir.Path("fresh")), c.decoded);
            EXPECT_EQ(ReadAll(existing), c.decoded);
            EXPECT_EQ(dir.Names(), (std::set<std::string>{"in.uib", "existing", "fresh"}));
        } else {
            EXPECT_EQ(ReadAll(existing), kOld);
            EXPECT_EQ(dir.Names(), (std::set<std::string>{"in.uib", "existing"}));
        }
        EXPECT_EQ(ReadAll(source), std::string(c.package.begin(), c.package.end()));

        const uib::CheckReport report = uib::CheckUibPackage(source.c_str());
        EXPECT_EQ(report.ok, c.result == 1) << report.problem;
        EXPECT_EQ(report.fault, c.fault) << report.problem;
        EXPECT_EQ(report.offset, c.offset) << report.problem;
        if (report.ok) {
            EXPECT_EQ(report.decoded_size, c.decoded.size());
        }
    }
}

TEST(DecodeUibPackage, FailsWithoutTouchingAnythingWhenAPathIsUnusable) {
    TempDir dir;
    const std::string good = dir.Write("good.uib", Package({Frame(Z("new"))}));
    const std::string existing = dir.Write("existing", std::string(kOld));
    const std::string missing = dir.Path("missing.uib");
    const std::string folder = dir.Path("folder");
    std::filesystem::create_directory(folder);
    const struct {
        const char* name;
        const char* source;
        std::string target;
    } cases[] = {
        {"no source path", nullptr, existing},
        {"no target path", good.c_str(), ""},
        {"missing source", missing.c_str(), existing},
        {"target in a missing folder", good.c_str(), dir.Path("missing/out")},
        {"target is a folder", good.c_str(), folder},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const char* target = c.target.empty() ? nullptr : c.target.c_str();
        EXPECT_EQ(DecodeUibPackage(c.source, target), 0);
        EXPECT_EQ(ReadAll(existing), kOld);
        EXPECT_TRUE(std::filesystem::is_directory(folder));
        EXPECT_EQ(dir.Names(), (std::set<std::string>{"good.uib", "existing", "folder"}));
    }
}

TEST(DecodeUibPackage, NeverTruncatesAFileThatHasTheSideFilesName) {
    TempDir dir;
    const std::string source = dir.Write("in.uib", Package({Frame(Z("new"))}));
    dir.Write("out.~uib", std::string("someone else's file"));
    EXPECT_EQ(DecodeUibPackage(source.c_str(), dir.Path("out").c_str()), 1);
    EXPECT_EQ(ReadAll(dir.Path("out")), "new");
    EXPECT_EQ(ReadAll(dir.Path("out.~uib")), "someone else's file");
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"in.uib", "out", "out.~uib"}));
}

#ifndef _WIN32
// Total counts bytes in 32 bits; a count that wrapped with it would let a
// file just past 4 GiB match a small Total. The file is sparse: each block
// holds an empty zlib stream and zero padding, which the decoder ignores.
// Natively only: under Wine reading 4 GiB takes long and the counting code
// is the same.
TEST(DecodeUibPackage, CountDoesNotWrapPastFourGiB) {
    TempDir dir;
    const std::uint32_t length = 32768;
    const std::uint64_t blocks = (std::uint64_t{1} << 32) / (4 + length) + 1;
    const std::uint64_t size = 12 + blocks * (4 + length);
    const Bytes block = Cat({U32(length), Z("")});
    const std::string source = dir.Path("huge.uib");
    {
        std::ofstream out(source, std::ios::binary);
        const Bytes header = Cat({Text("UMIB"), U32(static_cast<std::uint32_t>(size - 8)), U32(length)});
        out.write(reinterpret_cast<const char*>(header.data()), 12);
        for (std::uint64_t i = 0; i < blocks && out; ++i) {
            out.seekp(static_cast<std::streamoff>(12 + i * (4 + length)));
            out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size()));
        }
        if (!out) GTEST_SKIP() << "cannot write a sparse 4 GiB file here";
    }
    std::error_code error;
    std::filesystem::resize_file(source, size, error);
    if (error) GTEST_SKIP() << "cannot write a sparse 4 GiB file here";

    EXPECT_EQ(DecodeUibPackage(source.c_str(), dir.Path("out").c_str()), 0);
    EXPECT_FALSE(Exists(dir.Path("out")));
}
#endif

// Which hook call fails; 0 means none. Plain globals, since hooks are plain
// function pointers.
int g_fail_call = 0;
int g_calls = 0;
bool Due() { return ++g_calls == g_fail_call; }

void* FailingAllocate(std::size_t size) { return Due() ? nullptr : std::malloc(size); }
std::size_t ShortWrite(const void* data, std::size_t size, std::FILE* file) {
    return Due() ? std::fwrite(data, 1, size / 2, file) : std::fwrite(data, 1, size, file);
}
int FailingClose(std::FILE* file) {
    std::fclose(file);
    return Due() ? EOF : 0;
}

TEST(DecodeUibPackage, FailedAllocationsAndWritesReturnZeroAndKeepTheTarget) {
    const uib::DecodeHooks& real = uib::DefaultDecodeHooks();
    const struct {
        const char* name;
        uib::DecodeHooks hooks;
        int fail_call;
    } cases[] = {
        {"input buffer", {FailingAllocate, real.release, real.write, real.close}, 1},
        {"output buffer", {FailingAllocate, real.release, real.write, real.close}, 2},
        {"first write, before the 17th block", {real.allocate, real.release, ShortWrite, real.close}, 1},
        {"last write, after the last block", {real.allocate, real.release, ShortWrite, real.close}, 2},
        {"flush on close", {real.allocate, real.release, real.write, FailingClose}, 1},
        {"nothing", {FailingAllocate, real.release, ShortWrite, real.close}, 0},
    };
    // Seventeen full blocks: the decoder gathers sixteen before it writes.
    std::vector<Bytes> blocks;
    std::string content;
    for (int i = 0; i < 17; ++i) {
        const std::string piece = TextLike(16384 - i) + std::string(i, 'x');
        blocks.push_back(Frame(Z(piece)));
        content += piece;
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string source = dir.Write("in.uib", Package(blocks));
        const std::string target = dir.Write("target", std::string(kOld));
        g_fail_call = c.fail_call;
        g_calls = 0;
        const int result = uib::DecodeUibPackageWith(source.c_str(), target.c_str(), c.hooks);
        EXPECT_EQ(result, c.fail_call == 0 ? 1 : 0);
        EXPECT_EQ(ReadAll(target), c.fail_call == 0 ? content : kOld);
        EXPECT_EQ(dir.Names(), (std::set<std::string>{"in.uib", "target"}));
    }
}

TEST(PackUib, RoundTripsThroughTheDecoderByteForByte) {
    const std::string sizes[] = {
        "", "x", TextLike(16383), TextLike(16384), TextLike(16385), TextLike(3 << 20), Random(3 << 20)};
    for (const std::string& content : sizes) {
        for (int level : {0, 9}) {
            SCOPED_TRACE("size " + std::to_string(content.size()) + ", level " + std::to_string(level));
            TempDir dir;
            std::vector<unsigned char> package;
            const uib::PackResult packed = uib::PackUib(content.data(), content.size(), {level, 0}, &package);
            ASSERT_EQ(packed.error, uib::PackError::kNone);
            EXPECT_EQ(packed.blocks, (content.size() + 16383) / 16384);
            EXPECT_EQ(packed.total, package.size() - 8);
            EXPECT_EQ(packed.block_size, std::max<std::uint32_t>(6, packed.largest_block));

            const std::string source = dir.Write("in.uib", package);
            ASSERT_EQ(DecodeUibPackage(source.c_str(), dir.Path("out").c_str()), 1);
            EXPECT_TRUE(ReadAll(dir.Path("out")) == content);
        }
    }
}

TEST(PackUib, RefusesOptionsTheDecoderWouldNotAccept) {
    const std::string content = Random(40000);
    std::vector<unsigned char> package;
    const std::uint32_t largest = uib::PackUib(content.data(), content.size(), {}, &package).largest_block;
    const struct {
        int level;
        std::uint32_t block_size;
        uib::PackError error;
    } cases[] = {
        {-1, 0, uib::PackError::kBadLevel},
        {10, 0, uib::PackError::kBadLevel},
        {9, 5, uib::PackError::kBadBlockSize},
        {9, 32769, uib::PackError::kBadBlockSize},
        {9, largest - 1, uib::PackError::kBlockSizeTooSmall},
        {9, largest, uib::PackError::kNone},
        {9, 32768, uib::PackError::kNone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("level " + std::to_string(c.level) + ", block size " + std::to_string(c.block_size));
        EXPECT_EQ(uib::PackUib(content.data(), content.size(), {c.level, c.block_size}, &package).error, c.error);
    }
}

TEST(PackUibFile, LeavesTheOutputAsItWasOnFailure) {
    TempDir dir;
    const std::string input = dir.Write("input", Random(40000));
    const std::string output = dir.Write("out.uib", std::string(kOld));
    EXPECT_EQ(uib::PackUibFile(dir.Path("missing").c_str(), output.c_str(), {}).error, uib::PackError::kOpenInput);
    EXPECT_EQ(uib::PackUibFile(input.c_str(), output.c_str(), {9, 100}).error, uib::PackError::kBlockSizeTooSmall);
    EXPECT_EQ(uib::PackUibFile(input.c_str(), dir.Path("no/out.uib").c_str(), {}).error, uib::PackError::kCreateOutput);
    EXPECT_EQ(ReadAll(output), kOld);
    EXPECT_EQ(dir.Names(), (std::set<std::string>{"input", "out.uib"}));

    ASSERT_EQ(uib::PackUibFile(input.c_str(), output.c_str(), {}).error, uib::PackError::kNone);
    EXPECT_EQ(DecodeUibPackage(output.c_str(), dir.Path("back").c_str()), 1);
    EXPECT_TRUE(ReadAll(dir.Path("back")) == ReadAll(input));
}

}  // namespace
