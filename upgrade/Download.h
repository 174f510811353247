#pragma once
// One download from the upgrade server into a file, over WinINet.

#include <cstdint>
#include <functional>
#include <string>

#include "base/StopFlag.h"

// How long a download waits for the server: to connect, and for each piece
// of the request to go out or of the response to come in. A server that
// accepts and then says nothing fails the download after this.
constexpr unsigned kServerTimeoutMs = 15000;

// Fetches `url` into `file` (created, or truncated). `onRead` gets the file
// bar's new position after every read that returned data, and 100 at the end
// of the data. True only when the server answered 200 over the scheme asked
// for (an https URL redirected to plain http is refused) and every byte it
// declared was stored. Returns false as soon as `running` is cleared, even
// while WinINet is still waiting for the server, and when the answer is, or
// says it is, longer than `limit` bytes.
bool DownloadFile(const std::wstring& url, const std::wstring& file, const StopFlag& running,
                  const std::function<void(std::uint32_t position)>& onRead, std::uint64_t limit = UINT64_MAX);
