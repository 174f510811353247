#pragma once
// What a download of a signed file leaves for the next upgrade when it does
// not finish (a cut, a failed upgrade, Exit, Quillstone killed): the file is
// downloaded into %LOCALAPPDATA%\Quillstone\Downloads (beside the event log)
// as "<the SHA-256 the manifest signs for it>.part", its checked pieces at
// their places, and the next upgrade that wants the same result checks every
// piece of it again against the signed block map and fetches only the rest.
// Only what the manifest in force names is kept, for kKeepDays at most, and
// never on a volume that has less than kFreeSpaceFloor free; a success
// removes it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/FreeSpace.h"
#include "upgrade/UpgradeFiles.h"

namespace download_store {

constexpr std::uint64_t kKeepDays = 14;

// The folder; empty when the user's folder is not known (then nothing is kept).
std::wstring Folder();

// Removes the kept files that `wanted` (SHA-256 in lower-case hex) does not
// name, those not written for kKeepDays, and, oldest first, others while
// the volume has less than kFreeSpaceFloor free. Files another Quillstone of
// the user holds stay.
void Prune(const std::vector<std::string>& wanted, const FreeSpaceQuery& freeSpace);

// The kept file for `sha256`, or a new empty one, open to read and write
// and shared with nobody; null when it cannot be had (another Quillstone of
// the user holds it, the folder cannot be made). A name that is not one plain
// file (a link, a second name of another file) is replaced. `kept`: the
// bytes it held.
std::unique_ptr<TempFile> Open(const std::string& sha256, std::uint64_t* kept);

}  // namespace download_store
