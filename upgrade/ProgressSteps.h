#pragma once
// What the upgrade window's two bars show while an upgrade runs. The values
// add up in double precision and the bars get them truncated toward zero, so
// a step that does not divide 100 evenly shows as uneven jumps (12, 25, 37).
// Both bars hold at 99 until the work they measure is really over: 100 means
// done, never "nearly done".

#include <cstdint>

// The bar of one download. Each read that returned data adds
// 102400 / content length: 100 times the 1024-byte read size, so a full read
// adds its share of the content in percent. Without a content length nothing
// tells how far along a download is, and each read adds one point.
class FileProgress {
public:
    explicit FileProgress(std::uint32_t contentLength);

    // After a read that returned data, whatever its size: the new position.
    // A server that sends more than it announced keeps the bar at 99.
    int OnRead();
    // After the read that found the end of the data.
    static int Done() { return 100; }

private:
    double m_step;
    double m_value = 0.0;
};

// The overall bar of an upgrade of `entries` files: the downloads fill it to
// 50, the installations from there. Each step is 50 / entries.
class OverallProgress {
public:
    explicit OverallProgress(int entries);

    // After each downloaded file: the new position, 50 at most.
    int OnDownloaded();
    // After each installed file: the new position, held at 99 so that only
    // the end of the whole upgrade shows 100.
    int OnInstalled();
    // After the last file is installed.
    static int Done() { return 100; }

private:
    double m_step;
    double m_value = 0.0;
};
