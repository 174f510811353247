#pragma once
// What an upgrade leaves free on a volume it writes to, and how it asks.

#include <cstdint>
#include <functional>
#include <string>

// What every download and every decoded package leaves free on the volume it
// writes to. Without a signed size nothing else bounds them, and a hostile or
// broken server or package could fill the disk; a fixed cap on the file size
// instead would refuse large releases on a roomy disk.
constexpr std::uint64_t kFreeSpaceFloor = 256ull << 20;

// The bytes free to the calling user on the volume that holds `folder`
// (quotas included); false when the platform cannot tell.
using FreeSpaceQuery = std::function<bool(const std::wstring& folder, std::uint64_t* bytes)>;
bool VolumeFreeSpace(const std::wstring& folder, std::uint64_t* bytes);
