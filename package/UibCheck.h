// Validates a .uib package the way DecodeUibPackage reads it, without
// writing anything, and says where it breaks.
#pragma once

#include <cstdint>
#include <string>

#include "UibScan.h"

namespace uib {

struct CheckReport {
    bool ok = false;
    Fault fault = Fault::kNone;
    std::uint64_t offset = 0;  // byte offset of the field or block that breaks a rule
    std::string problem;       // "<rule> at byte offset <n>" plus detail, empty when ok
    std::uint32_t blocks = 0;
    std::uint32_t block_size = 0;
    std::uint32_t total = 0;
    std::uint64_t decoded_size = 0;
    std::uint64_t compressed_size = 0;  // sum of the blocks' Lengths
    std::uint64_t package_size = 0;
    std::uint32_t ignored_tail = 0;
};

// Accepts exactly the packages that DecodeUibPackage decodes with result 1
// (output and memory permitting).
CheckReport CheckUibPackage(const char* path);

}  // namespace uib
