#include "UibCheck.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace uib {
namespace {

bool Discard(void*, const unsigned char*, std::size_t) { return true; }

std::string Detail(const ScanResult& scan) {
    switch (scan.fault) {
        case Fault::kTotalMismatch:
            return " (Total is " + std::to_string(scan.header.total) + ", the file's blocks add up to " +
                   std::to_string(scan.count) + ")";
        case Fault::kBlockSizeRange: return " (it is " + std::to_string(scan.header.block_size) + ")";
        case Fault::kBadStream:
        case Fault::kPieceTooLarge: return " (zlib error " + std::to_string(scan.zlib_status) + ")";
        default: return "";
    }
}

}  // namespace

CheckReport CheckUibPackage(const char* path) {
    CheckReport report;
    ScanResult scan;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(path ? std::fopen(path, "rb") : nullptr, std::fclose);
    if (!in) {
        report.fault = Fault::kOpenSource;
        report.problem = std::string(FaultText(report.fault)) + ": " + (path ? std::strerror(errno) : "no path given");
        return report;
    }
    if (ReadHeader(in.get(), &scan)) {
        std::vector<unsigned char> input(scan.header.block_size);
        std::vector<unsigned char> output(kOutputBufferSize);
        report.ok = ReadBlocks(in.get(), input.data(), output.data(), Discard, nullptr, &scan);
    }
    report.fault = scan.fault;
    report.offset = scan.offset;
    report.blocks = scan.blocks;
    report.block_size = scan.header.block_size;
    report.total = scan.header.total;
    report.decoded_size = scan.decoded;
    report.compressed_size = scan.compressed;
    report.package_size = scan.package_size;
    report.ignored_tail = scan.ignored_tail;
    if (!report.ok) {
        report.problem =
            std::string(FaultText(scan.fault)) + " at byte offset " + std::to_string(scan.offset) + Detail(scan);
    }
    return report;
}

}  // namespace uib
