#pragma once
// What an upgrade shows while it runs: the entry being downloaded and two
// bars (the current download, the whole upgrade), each 0 to 100.

#include <cstdint>
#include <string>

// Called on the upgrade thread while the UI thread may be waiting for it: an
// implementation stores and posts, and never waits for the UI thread.
class UpgradeProgress {
public:
    virtual void ShowEntry(const std::wstring& entry) = 0;
    virtual void SetFileProgress(std::uint32_t position) = 0;
    virtual void SetTotalProgress(std::uint32_t position) = 0;

protected:
    ~UpgradeProgress() = default;
};
