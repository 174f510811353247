#pragma once
// One download from the upgrade server into a file, over WinINet.

#include <cstdint>
#include <functional>
#include <string>

#include "base/StopFlag.h"

// Fetches `url` into `file` (created, or truncated). `onRead` gets the file
// bar's new position after every read that returned data, and 100 at the end
// of the data. True only when the server answered 200 and every byte it
// declared was stored; false at once when `running` is cleared.
bool DownloadFile(const std::wstring& url, const std::wstring& file, const StopFlag& running,
                  const std::function<void(std::uint32_t position)>& onRead);
