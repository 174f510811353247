// The pieces of a signed file: their SHA-256, the block map that lists them,
// and finding a new file's pieces in the file installed before it.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "UibWriter.h"
#include "tests/unit/uib_test_support.h"
#include "upgrade/BlockFinder.h"
#include "trust/BlockMap.h"
#include "trust/Sha256.h"

namespace {

std::string Bytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

BlockMap MapOf(const std::string& content, bool package) {
    uibtest::TempDir dir;
    std::string file = content;
    if (package) {
        std::vector<unsigned char> packed;
        uib::PackUib(content.data(), content.size(), uib::PackOptions{}, &packed);
        file.assign(packed.begin(), packed.end());
    }
    std::FILE* f = std::fopen(dir.Write("file", file).c_str(), "rb");
    BlockMap map;
    EXPECT_TRUE(f && MakeBlockMap(f, package, &map));
    if (f) std::fclose(f);
    return map;
}

TEST(Sha256, KnownDigestsAndEveryWayOfFeedingItAgree) {
    const struct {
        std::string message;
        const char* digest;
    } known[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& k : known) EXPECT_EQ(ToHex(Sha256::Of(k.message.data(), k.message.size())), k.digest);

    // Random lengths fed in random parts give the digest of the whole, and
    // the processor's instructions give what the portable rounds give.
    std::mt19937 random(7);
    for (int run = 0; run < 300; ++run) {
        const std::string message = Bytes(random() % 3000, random());
        Sha256 parts;
        for (std::size_t at = 0; at < message.size();) {
            const std::size_t part = std::min<std::size_t>(message.size() - at, random() % 200);
            parts.Add(message.data() + at, part);
            at += part;
        }
        ASSERT_EQ(parts.Finish(), Sha256::Of(message.data(), message.size())) << message.size();
        std::uint32_t portable[8] = {1, 2, 3, 4, 5, 6, 7, 8}, instructed[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        const auto* blocks = reinterpret_cast<const unsigned char*>(message.data());
        Sha256::CompressPortable(portable, blocks, message.size() / 64);
        Sha256::CompressWithInstructions(instructed, blocks, message.size() / 64);
        ASSERT_TRUE(std::equal(portable, portable + 8, instructed)) << Sha256::ShaInstructions();
    }
}

TEST(BlockMap, AMapReadsBackAndNothingElseDescribesTheFile) {
    const std::string content = uibtest::TextLike(300 * 1024 + 17);
    for (bool package : {false, true}) {
        SCOPED_TRACE(package ? "package" : "plain file");
        const BlockMap map = MapOf(content, package);
        const std::string bytes = FormatBlockMap(map);
        BlockMap read;
        ASSERT_TRUE(ParseBlockMap(bytes, map.size, map.decodedSize, &read));
        EXPECT_EQ(FormatBlockMap(read), bytes);
        EXPECT_EQ(read.decodedSize, content.size());
        std::uint64_t decoded = 0;
        for (const MapPiece& piece : read.pieces) {
            EXPECT_EQ(piece.decodedOffset, decoded);
            EXPECT_EQ(ToHex(piece.decodedSha256),
                      ToHex(Sha256::Of(content.data() + decoded, static_cast<std::size_t>(piece.decodedLength))));
            decoded += piece.decodedLength;
        }
        EXPECT_LE(bytes.size(), map.size / 100 + 4096);

        std::string longer = bytes + std::string(package ? 76 : 36, '\0');
        std::string otherMagic = bytes;
        otherMagic[0] = 'q';
        const struct {
            const char* what;
            std::string bytes;
            std::uint64_t size, decodedSize;
        } refused[] = {
            {"another file's size", bytes, map.size + 1, map.decodedSize + (package ? 0 : 1)},
            {"another decoded size", bytes, map.size, map.decodedSize + 1},
            {"one piece more", longer, map.size, map.decodedSize},
            {"cut short", bytes.substr(0, bytes.size() - 1), map.size, map.decodedSize},
            {"another magic", otherMagic, map.size, map.decodedSize},
            {"longer than 1 % of the file and 4 KiB", bytes + std::string(5000, '\0'), map.size, map.decodedSize},
        };
        for (const auto& r : refused) EXPECT_FALSE(ParseBlockMap(r.bytes, r.size, r.decodedSize, &read)) << r.what;
    }
    // A package that compresses a hundredfold still gets a map within its limit.
    const BlockMap zeros = MapOf(std::string(8 << 20, '\0'), true);
    EXPECT_LE(FormatBlockMap(zeros).size(), zeros.size / 100 + 4096);
    EXPECT_GT(zeros.pieceSize, kPieceSize);
}

TEST(BlockFinder, FindsEachPieceWhereverTheInstalledFileHoldsIt) {
    const std::string base = Bytes(16 * kPieceSize, 1);
    const std::string piece3 = base.substr(3 * kPieceSize, kPieceSize);
    std::string changed = base, damaged = base, repeated = base;
    changed.replace(500000, 1024, Bytes(1024, 2));
    damaged[5 * kPieceSize + 10] ^= 1;
    repeated.replace(9 * kPieceSize, kPieceSize, piece3);
    const struct {
        const char* what;
        std::string now;        // the new file
        std::string installed;  // the one before it
        bool package;
        std::vector<std::size_t> missing;  // pieces it does not hold
    } cases[] = {
        {"unchanged", base, base, false, {}},
        {"a change in the middle costs the piece it touches", changed, base, false, {7}},
        {"100 bytes inserted at the start cost one piece", Bytes(100, 3) + base, base, false, {0}},
        {"100 bytes cut from the start cost nothing", base.substr(100), base, false, {}},
        {"pieces moved", base.substr(8 * kPieceSize) + base.substr(0, 8 * kPieceSize), base, false, {}},
        {"a piece the new file holds twice is found once for both", repeated, base, false, {}},
        {"a damaged installed file", base, damaged, false, {5}},
        {"an empty installed file", base.substr(0, 3 * kPieceSize), "", false, {0, 1, 2}},
        {"a package: what it decodes to, found in the installed file", changed, base, true, {7}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const BlockMap map = MapOf(c.now, c.package);
        std::vector<std::uint64_t> found;
        const ReadAt read = [&](std::uint64_t offset, unsigned char* into, std::size_t size) {
            if (offset + size > c.installed.size()) return false;
            std::copy_n(c.installed.data() + offset, size, into);
            return true;
        };
        ASSERT_TRUE(FindPieces(map, c.installed.size(), read, &found));
        std::vector<std::size_t> missing;
        for (std::size_t i = 0; i < found.size(); ++i) {
            const MapPiece& piece = map.pieces[i];
            if (found[i] == kNowhere) {
                missing.push_back(i);
            } else {
                EXPECT_EQ(c.installed.substr(found[i], piece.decodedLength),
                          c.now.substr(piece.decodedOffset, piece.decodedLength))
                    << "piece " << i;
            }
        }
        EXPECT_EQ(missing, c.missing);
    }
    // An installed file that cannot be read is said so.
    const BlockMap map = MapOf(base, false);
    std::vector<std::uint64_t> found;
    EXPECT_FALSE(FindPieces(
        map, base.size(), [](std::uint64_t, unsigned char*, std::size_t) { return false; }, &found));
}

}  // namespace
