#include "trust/BlockMap.h"

#include <cstring>
#include <memory>

#include "package/UibScan.h"

namespace {

constexpr char kMagic[8] = {'Q', 'S', 'B', 'L', 'O', 'C', 'K', 'S'};
constexpr std::size_t kHeaderSize = 36;
constexpr std::size_t kFilePieceSize = 4 + 32;
constexpr std::size_t kPackagePieceSize = 4 + 4 + 32 + 4 + 32;

void Put(std::string* out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

std::uint64_t Get(const std::string& in, std::size_t* at, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= static_cast<std::uint64_t>(static_cast<unsigned char>(in[*at + i])) << (8 * i);
    *at += bytes;
    return value;
}

void GetDigest(const std::string& in, std::size_t* at, Sha256Digest* digest) {
    std::memcpy(digest->data(), in.data() + *at, digest->size());
    *at += digest->size();
}

// Sums of what a piece decodes to, as its bytes come.
struct DecodedSums {
    explicit DecodedSums(std::uint64_t window) : weak(window) {}
    void Add(const unsigned char* bytes, std::size_t size) {
        weak.Add(bytes, size);
        sha.Add(bytes, size);
        length += size;
    }
    RollingSum weak;
    Sha256 sha;
    std::uint64_t length = 0;
};

bool MakeFileMap(std::FILE* file, BlockMap* map) {
    std::unique_ptr<unsigned char[]> block(new unsigned char[kPieceSize]);
    for (;;) {
        const std::size_t got = std::fread(block.get(), 1, kPieceSize, file);
        if (got == 0) break;
        MapPiece piece;
        piece.offset = piece.decodedOffset = map->size;
        piece.length = piece.decodedLength = got;
        piece.sha256 = piece.decodedSha256 = Sha256::Of(block.get(), got);
        RollingSum weak(got);
        weak.Start(block.get(), got);
        piece.weak = weak.Value();
        map->pieces.push_back(piece);
        map->size += got;
        if (got < kPieceSize) break;
    }
    map->decodedSize = map->size;
    return !std::ferror(file);
}

// One walk over a package, cutting it into pieces after whole blocks.
struct PackageWalk {
    BlockMap* map;
    uib::ScanResult scan;
    DecodedSums sums;
    std::uint64_t pieceStart = 0;

    // The piece so far ends where the block just decoded ends.
    void EndPiece(std::uint64_t end) {
        MapPiece piece;
        piece.offset = pieceStart;
        piece.length = end - pieceStart;
        piece.decodedOffset = map->decodedSize;
        piece.decodedLength = sums.length;
        piece.weak = sums.weak.Value();
        piece.decodedSha256 = sums.sha.Finish();
        map->pieces.push_back(piece);
        map->decodedSize += piece.decodedLength;
        pieceStart = end;
        sums = DecodedSums(map->pieceSize);
    }
};

bool TakeBlock(void* context, const unsigned char* data, std::size_t size) {
    PackageWalk* walk = static_cast<PackageWalk*>(context);
    walk->sums.Add(data, size);
    if (walk->sums.length >= walk->map->pieceSize) walk->EndPiece(walk->scan.package_size);
    return true;
}

// The pieces as served, hashed in one more pass over the package.
bool HashServedPieces(std::FILE* file, BlockMap* map) {
    std::rewind(file);
    std::unique_ptr<unsigned char[]> chunk(new unsigned char[kPieceSize]);
    for (MapPiece& piece : map->pieces) {
        Sha256 sha;
        for (std::uint64_t left = piece.length; left > 0;) {
            const std::size_t want = left < kPieceSize ? static_cast<std::size_t>(left) : kPieceSize;
            const std::size_t got = std::fread(chunk.get(), 1, want, file);
            if (got == 0) return false;
            sha.Add(chunk.get(), got);
            left -= got;
        }
        piece.sha256 = sha.Finish();
    }
    return true;
}

bool MakePackageMap(std::FILE* file, std::uint32_t pieceSize, BlockMap* map) {
    *map = BlockMap();
    map->package = true;
    map->pieceSize = pieceSize;
    PackageWalk walk{map, {}, DecodedSums(pieceSize)};
    std::rewind(file);
    std::unique_ptr<unsigned char[]> input(new unsigned char[uib::kMaxBlockSize]);
    std::unique_ptr<unsigned char[]> output(new unsigned char[uib::kOutputBufferSize]);
    if (!uib::ReadHeader(file, &walk.scan) ||
        !uib::ReadBlocks(file, input.get(), output.get(), TakeBlock, &walk, &walk.scan)) {
        return false;
    }
    map->size = walk.scan.package_size;
    // What follows the last cut (blocks that decode to nothing, stray bytes
    // after the last block) belongs to the last piece.
    if (walk.pieceStart < map->size && !map->pieces.empty() && walk.sums.length == 0) {
        map->pieces.back().length += map->size - walk.pieceStart;
    } else if (walk.pieceStart < map->size || map->pieces.empty()) {
        walk.EndPiece(map->size);
    }
    return HashServedPieces(file, map);
}

}  // namespace

bool MakeBlockMap(std::FILE* file, bool package, BlockMap* map) {
    if (!package) {
        *map = BlockMap();
        return MakeFileMap(file, map);
    }
    // Pieces large enough that the map stays within its limit, however
    // compressible the package: a piece costs its entry whatever it holds.
    for (std::uint32_t pieceSize = kPieceSize; pieceSize <= kLargestPieceSize; pieceSize *= 2) {
        if (!MakePackageMap(file, pieceSize, map)) return false;
        if (kHeaderSize + map->pieces.size() * kPackagePieceSize <= BlockMapLimit(map->size)) return true;
    }
    return false;  // more compressible than zlib makes anything
}

std::string FormatBlockMap(const BlockMap& map) {
    std::string out(kMagic, sizeof kMagic);
    Put(&out, 1, 1);
    Put(&out, map.package ? 1 : 0, 1);
    Put(&out, 0, 2);
    Put(&out, map.pieceSize, 4);
    Put(&out, map.size, 8);
    Put(&out, map.decodedSize, 8);
    Put(&out, map.pieces.size(), 4);
    for (const MapPiece& piece : map.pieces) {
        if (map.package) {
            Put(&out, piece.length, 4);
            Put(&out, piece.decodedLength, 4);
            out.append(reinterpret_cast<const char*>(piece.sha256.data()), piece.sha256.size());
        }
        Put(&out, piece.weak, 4);
        out.append(reinterpret_cast<const char*>(piece.decodedSha256.data()), piece.decodedSha256.size());
    }
    return out;
}

bool ParseBlockMap(const std::string& bytes, std::uint64_t size, std::uint64_t decodedSize, BlockMap* map) {
    if (bytes.size() < kHeaderSize || bytes.size() > BlockMapLimit(size) ||
        std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
        return false;
    }
    std::size_t at = sizeof kMagic;
    BlockMap read;
    const std::uint64_t version = Get(bytes, &at, 1), kind = Get(bytes, &at, 1), zero = Get(bytes, &at, 2);
    read.package = kind == 1;
    read.pieceSize = static_cast<std::uint32_t>(Get(bytes, &at, 4));
    read.size = Get(bytes, &at, 8);
    read.decodedSize = Get(bytes, &at, 8);
    const std::uint64_t count = Get(bytes, &at, 4);
    const std::size_t entry = read.package ? kPackagePieceSize : kFilePieceSize;
    if (version != 1 || kind > 1 || zero != 0 || read.size != size || read.decodedSize != decodedSize ||
        (bytes.size() - kHeaderSize) / entry != count || (bytes.size() - kHeaderSize) % entry != 0) {
        return false;
    }
    if (!read.package) {
        // Pieces of 64 KiB, the last one shorter: the count follows from the size.
        if (read.pieceSize != kPieceSize || size != decodedSize || count != (size + kPieceSize - 1) / kPieceSize) {
            return false;
        }
    } else if (read.pieceSize < kPieceSize || read.pieceSize > kLargestPieceSize ||
               (read.pieceSize & (read.pieceSize - 1)) != 0 || count == 0) {
        return false;
    }
    std::uint64_t offset = 0, decoded = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        MapPiece piece;
        piece.offset = offset;
        piece.decodedOffset = decoded;
        if (read.package) {
            piece.length = Get(bytes, &at, 4);
            piece.decodedLength = Get(bytes, &at, 4);
            GetDigest(bytes, &at, &piece.sha256);
            // Every piece but the last decodes to pieceSize at least, and one
            // block (16384 bytes at most) more does not stay below it.
            const bool last = i + 1 == count;
            if (piece.length == 0 || piece.decodedLength >= read.pieceSize + std::uint64_t{uib::kMaxPiece} ||
                (!last && piece.decodedLength < read.pieceSize)) {
                return false;
            }
        } else {
            piece.length = piece.decodedLength = size - offset < kPieceSize ? size - offset : kPieceSize;
        }
        piece.weak = static_cast<std::uint32_t>(Get(bytes, &at, 4));
        GetDigest(bytes, &at, &piece.decodedSha256);
        if (!read.package) piece.sha256 = piece.decodedSha256;
        offset += piece.length;
        decoded += piece.decodedLength;
        read.pieces.push_back(piece);
    }
    if (offset != size || decoded != decodedSize) return false;
    *map = std::move(read);
    return true;
}
