#pragma once
// One download from the upgrade server into a file, over WinINet.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/FreeSpace.h"
#include "base/StopFlag.h"
#include "trust/BlockMap.h"

// How long a download waits for the server: to connect, and for each piece
// of the request to go out or of the response to come in. A server that
// accepts and then says nothing fails the download after this.
constexpr unsigned kServerTimeoutMs = 15000;

// What bounds one download.
struct DownloadBounds {
    // The most bytes the answer may have (a signed file's size).
    std::uint64_t size = UINT64_MAX;
    // Asked about the file's folder before the first byte is written and
    // again at least every few MiB written.
    FreeSpaceQuery freeSpace = VolumeFreeSpace;
    // When not 0: the moment, on `clock`, by which the download must be over.
    std::uint64_t deadlineMs = 0;
    // Milliseconds, for the deadline and the pace (upgrade/ArrivalPace.h);
    // AwakeMilliseconds when empty.
    std::function<std::uint64_t()> clock;
};

// Fetches `url` into `file`, an empty file open for writing at `path` (the
// path only names it in the log and tells the volume to measure). `onRead`
// gets the file bar's new position after every read that returned data, and
// 100 at the end of the data. True only when the server answered 200 over
// the scheme asked for (an https URL redirected to plain http is refused)
// and every byte it declared was stored. A cut (the answer ends short, a
// read fails, the server is gone for a moment, the pace of
// upgrade/ArrivalPace.h is lost) is resumed as upgrade/Resumption.h says.
// Returns false as soon as `running` is cleared, even while WinINet is still
// waiting for the server; when the answer is, or says it is, longer than
// `bounds.size` (reading stops one read past it); when writing on would leave
// less than kFreeSpaceFloor free (a declared length that would is refused
// before the first byte); and when it passes `bounds.deadlineMs`. Nothing is
// written into the file once it has returned, and one that failed is left
// empty.
// Each download writes one line to the event log: its bytes and seconds, or
// why it failed (the HTTP status, the WinINet error, the bound it crossed),
// and one for each resumption.
bool DownloadFile(const std::wstring& url, const std::wstring& path, void* file, const StopFlag& running,
                  const std::function<void(std::uint32_t position)>& onRead, const DownloadBounds& bounds = {});

// The same for a file with a block map: fetches the pieces that `held` does
// not mark (adjacent ones in one request) into `file`, at their places in
// the file as served, or, when `decode`, decoded (the pieces of a package)
// at their places in what they decode to; each piece is checked as it
// completes. A download that fails keeps the pieces it checked.
// `fetched`: the bytes the server sent for it, every answer counted.
bool DownloadPieces(const std::wstring& url, const std::wstring& path, void* file, const StopFlag& running,
                    const std::function<void(std::uint32_t position)>& onRead, const DownloadBounds& bounds,
                    const BlockMap& map, std::vector<bool> held, bool decode, std::uint64_t* fetched);

// 188743680 as "188,743,680", as the log gives byte counts a person compares.
std::wstring Grouped(std::uint64_t value);

// Whether a download that DownloadFile gave up waiting for (the stop flag was
// cleared) still has its thread running, possibly inside a WinINet call.
bool AbandonedDownloadRunning();
