// Feeds arbitrary bytes to DecodeUibPackage as a package file and checks what
// must hold for every input:
//  - the result and the decoded bytes equal those of a plain in-memory
//    reading of the format written here independently of the decoder;
//  - the checker accepts exactly what the decoder accepts;
//  - a failed decode leaves the existing target as it was, and no side
//    file or change to the source remains either way.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include <zlib.h>

#include "UibCheck.h"
#include "UibPackage.h"

namespace {

std::string g_dir;

void RemoveDir() { rmdir(g_dir.c_str()); }

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "uib_decode_fuzz: %s\n", what);
        std::abort();
    }
}

void WriteAll(const std::string& path, const void* data, std::size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    Require(file && std::fwrite(data, 1, size, file) == size && std::fclose(file) == 0, "cannot write a scratch file");
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The header's fields take the bytes the input holds from the lowest upward
// and keep their initial value in the rest.
std::uint32_t Field(const std::uint8_t* data, std::size_t size, std::size_t at, std::uint32_t initial) {
    std::uint32_t value = initial;
    for (std::size_t i = 0; i < 4 && at + i < size; ++i) {
        value = (value & ~(0xFFu << (8 * i))) | static_cast<std::uint32_t>(data[at + i]) << (8 * i);
    }
    return value;
}

bool Reference(const std::uint8_t* data, std::size_t size, std::string* decoded) {
    if (size < 4 || std::memcmp(data, "UMIB", 4) != 0) return false;
    const std::uint32_t total = Field(data, size, 4, 0);
    const std::uint32_t block_size = Field(data, size, 8, 16384);
    if (total < 4 || block_size < 6 || block_size > 32768) return false;
    std::uint64_t count = 4;
    std::size_t at = size < 12 ? size : 12;
    while (size - at >= 4) {
        const std::uint32_t length = Field(data, size, at, 0);
        at += 4;
        if (length == 0 || length > block_size || size - at < length) return false;
        count += 4 + static_cast<std::uint64_t>(length);
        static unsigned char piece[16384];
        uLongf produced = sizeof piece;
        if (uncompress(piece, &produced, data + at, length) != Z_OK) return false;
        decoded->append(reinterpret_cast<const char*>(piece), produced);
        at += length;
    }
    return count == total;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/uib-fuzz-XXXXXX";
    Require(mkdtemp(dir.data()) != nullptr, "cannot make a scratch folder");
    g_dir = dir;
    std::atexit(RemoveDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char kPrevious[] = "the target as it was before";
    const std::string source = g_dir + "/in.uib";
    const std::string target = g_dir + "/out";
    WriteAll(source, data, size);
    WriteAll(target, kPrevious, sizeof kPrevious - 1);

    const int result = DecodeUibPackage(source.c_str(), target.c_str());
    std::string expected;
    const bool accepted = Reference(data, size, &expected);
    Require(result == (accepted ? 1 : 0), "decoder and reference disagree on the result");
    Require(ReadAll(target) == (accepted ? expected : std::string(kPrevious)), "target does not hold what it should");
    Require(uib::CheckUibPackage(source.c_str()).ok == accepted, "checker and decoder disagree");
    Require(ReadAll(source) == std::string(reinterpret_cast<const char*>(data), size), "source was changed");
    Require(std::fopen((target + ".~uib").c_str(), "rb") == nullptr, "side file left behind");

    std::remove(source.c_str());
    std::remove(target.c_str());
    return 0;
}
