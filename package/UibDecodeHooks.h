// The decoder with its allocation and output calls replaceable, so that tests
// can make an allocation fail or the disk refuse a write.
#pragma once

#include <cstddef>
#include <cstdio>

namespace uib {

struct DecodeHooks {
    void* (*allocate)(std::size_t size);
    void (*release)(void* block);
    std::size_t (*write)(const void* data, std::size_t size, std::FILE* file);
    int (*close)(std::FILE* file);
};

// What DecodeUibPackage uses: malloc, free, fwrite and fclose.
const DecodeHooks& DefaultDecodeHooks();

int DecodeUibPackageWith(const char* source, const char* target, const DecodeHooks& hooks);

}  // namespace uib
