#pragma once
// One file of a signed release, as it comes: its block map first; then the
// pieces that an earlier upgrade kept and those the installed file holds
// (found at any offset: upgrade/BlockFinder.h), and only the rest from the
// server, each piece checked as it arrives. When anything of that fails (no
// map, an installed file that cannot be read, a piece wrong twice, a result
// that is not the signed one), the file comes whole instead, once, with its
// pieces checked. What it gives is checked whole against the manifest through
// the handle the installation reads.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/FreeSpace.h"
#include "base/StopFlag.h"
#include "trust/Manifest.h"
#include "upgrade/UpgradeEntry.h"
#include "upgrade/UpgradeFiles.h"

struct SignedDownloadContext {
    std::wstring serverUrl;   // the server's base URL; files are under "/upgrade/"
    std::wstring installDir;  // where the installed files are read; empty: nothing is installed yet
    const StopFlag* running = nullptr;
    std::function<void(std::uint32_t position)> onProgress;  // the file bar
    FreeSpaceQuery freeSpace;
    std::function<std::uint64_t()> clock;  // for the downloads' pace and waits
};

// The file to install for `entry`, which the manifest lists as `listed`;
// null when it cannot be had (the log says why). `path` names the file in
// the upgrade's private folder that is used when none can be kept for later.
// `decoded`: the file holds what the package decodes to, and is installed as
// it is.
std::unique_ptr<TempFile> FetchSignedFile(const UpgradeEntry& entry, const ManifestFile& listed,
                                          const std::wstring& path, const SignedDownloadContext& context,
                                          bool* decoded);
