#pragma once
// Drives the real Quillstone.exe and the stand-in Marlowcast.exe as separate
// processes and looks at them as a user would: shared by the end-to-end tests
// and the demo.

#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls pred until it holds or the time is up; every wait in a test is bounded.
bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit, std::chrono::milliseconds step = 50ms);

std::wstring BinFolder();  // folder of the running test executable

// A fresh folder under %TEMP% holding copies of the supervisor and (unless
// told otherwise) the stand-in. Removed, with everything in it, at the end.
// `build` names a sub-folder of the binaries' folder that holds another build
// of the supervisor (one made for another upgrade server).
class Install {
public:
    explicit Install(bool withStandIn = true, const std::wstring& build = L"");
    ~Install();
    const std::wstring& Folder() const { return m_folder; }
    std::wstring Path(const std::wstring& name) const { return m_folder + L"\\" + name; }

private:
    std::wstring m_folder;
};

// One line of Marlowcast.log per event: "<pid> <event ...>".
struct StandInEvent {
    DWORD pid;
    std::string text;
};
std::vector<StandInEvent> ReadStandInLog(const Install& install);
std::vector<DWORD> StandInStarts(const Install& install);  // pids, in start order

// Sends one command line to the stand-in's control port; returns its answer
// ("" when nobody answered).
std::string StandInCommand(const std::string& command);

// A running supervisor process. The destructor makes sure it and every
// stand-in it started are gone, so no test leaks into the next one.
class Supervisor {
public:
    // Starts Quillstone.exe from the install, with the given current folder
    // (the install's folder when empty), extra environment variables and
    // arguments.
    Supervisor(const Install& install, const std::wstring& currentFolder = L"",
               const std::vector<std::wstring>& extraEnv = {}, const std::wstring& arguments = L"");
    ~Supervisor();

    bool Started() const { return m_pi.hProcess != nullptr; }
    HANDLE Process() const { return m_pi.hProcess; }
    DWORD Pid() const { return m_pi.dwProcessId; }
    bool Exited(std::chrono::milliseconds limit) const;
    DWORD ExitCode() const;
    // The supervisor's own window ("Quillstone for Marlowcast"), or null.
    HWND Window() const;
    std::wstring ItemText(int id) const;

private:
    const Install& m_install;
    PROCESS_INFORMATION m_pi = {};
};

// Waits until the supervisor has shown and hidden its window, the stand-in has
// started `starts` times in all, and the newest one answers its control port.
bool WaitUntilSupervising(const Supervisor& sup, const Install& install, size_t starts = 1);

// Top-level message boxes ("#32770" with the given caption), excluding the
// supervisor window itself.
std::vector<HWND> MessageBoxes(const std::wstring& caption = L"Quillstone");
std::wstring MessageBoxText(HWND box);
void PressOk(HWND box);
// Waits for one box with the caption, returns its text and presses OK.
bool DismissMessageBox(std::wstring* text, std::chrono::milliseconds limit,
                       const std::wstring& caption = L"Quillstone");

// Saves the whole screen as a 24-bit BMP (scripts turn it into PNG).
bool SaveScreenshot(const std::wstring& bmpPath);

// Quillstone's event log as this Wine user's supervisors write it
// (%LOCALAPPDATA%\Quillstone\Quillstone.log). The log outlives every test,
// so a reader marks where it ended when made and reads only what came after
// (through a rotation too).
class EventLogReader {
public:
    EventLogReader();
    // The events written since, each a line without its time stamp.
    std::vector<std::string> Events() const;
    // The events that contain `text`.
    std::vector<std::string> Matching(const std::string& text) const;
    // For a failed test's output: every line since the mark.
    std::string Dump() const;

private:
    std::wstring m_path;
    unsigned long long m_mark = 0;
};

bool ProcessRunning(DWORD pid);
void KillProcess(DWORD pid);

}  // namespace e2e
