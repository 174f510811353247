#include "upgrade/UrlName.h"

#include <cstring>

namespace {

bool IsPathSafe(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    // The zero byte is excluded apart: strchr would match the terminator.
    return c != '\0' && std::strchr("-._~!$&'()*+,;=@", c) != nullptr;
}

}  // namespace

std::string EncodeUrlNamePart(const std::string& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string url;
    url.reserve(bytes.size());
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (IsPathSafe(byte)) {
            url += c;
        } else {
            url += '%';
            url += kHex[byte >> 4];
            url += kHex[byte & 0x0F];
        }
    }
    return url;
}
