// Shared by the package tests and the uibpack tests: byte builders, a
// scratch folder, and the table of packages with the decoder's verdicts.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "UibScan.h"

namespace uibtest {

using Bytes = std::vector<unsigned char>;

Bytes Cat(std::initializer_list<Bytes> parts);
Bytes Text(const std::string& text);
Bytes U32(std::uint32_t value);
// One zlib stream of |content|.
Bytes Z(const std::string& content, int level = 6);
// A block: Length then |data|.
Bytes Frame(const Bytes& data);
// "UMIB", Total, Block size, then |blocks| as given; Total counts the blocks.
Bytes Package(const std::vector<Bytes>& blocks, std::uint32_t block_size = 16384);
// As Package, with Total given.
Bytes PackageWithTotal(std::uint32_t total, std::uint32_t block_size, const std::vector<Bytes>& blocks);

// Deterministic test content.
std::string TextLike(std::size_t size);
std::string Random(std::size_t size);

struct DecodeCase {
    std::string name;
    Bytes package;
    int result;            // what DecodeUibPackage returns
    std::string decoded;   // the target's content when result is 1
    uib::Fault fault;      // what the checker names when result is 0
    std::uint64_t offset;  // and where
};
std::vector<DecodeCase> DecodeCases();

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string Path(const std::string& name) const { return (root_ / name).string(); }
    std::string Write(const std::string& name, const Bytes& bytes) const;
    std::string Write(const std::string& name, const std::string& text) const;
    std::set<std::string> Names() const;

private:
    std::filesystem::path root_;
};

bool Exists(const std::string& path);
std::string ReadAll(const std::string& path);

}  // namespace uibtest
