#pragma once
// Whether the supervisor still runs. The window's initialisation sets it
// before any worker thread exists; the shutdown clears it first of all, and
// every loop of the worker threads tests it, so that the shutdown's waits for
// them end. It is passed to whoever loops on it.

#include <atomic>

class StopFlag {
public:
    StopFlag() = default;
    StopFlag(const StopFlag&) = delete;
    StopFlag& operator=(const StopFlag&) = delete;

    void Start() { m_running.store(1); }
    void Stop() { m_running.store(0); }
    bool IsRunning() const { return m_running.load() != 0; }

private:
    std::atomic<int> m_running{0};
};
