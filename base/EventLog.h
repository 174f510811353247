#pragma once
// The event log: %LOCALAPPDATA%\Quillstone\Quillstone.log, one line per event
// ("2024-05-01 14:03:07.512 Marlowcast (pid 1234) exited with code 0xC0000005"),
// UTF-8, for the user or administrator who wants to know why Marlowcast was
// restarted or an upgrade failed.
//
// Any thread may log at any time. Each line is one append of its own (a handle
// opened for appending only, the whole line in one WriteFile), so lines of
// several threads, or of two processes, never interleave. A file over
// kEventLogLimit becomes Quillstone.log.1 (replacing an older one) before the
// next line is written: at most two files exist. When it cannot be renamed
// (a viewer holds it open without delete sharing) lines go on into it up to
// twice the limit; then one line says the log is full, and later lines are
// lost until the rename works again (tried at most once a minute).
//
// The log is never in the way: a folder that cannot be made, a file held by
// somebody else or a full disk loses the line and nothing else. No call shows
// anything, waits for anything but its own short append, throws, or changes
// the thread's last-error value.

#include <windows.h>

#include <string>

// A file larger than this is rotated before the next line goes in.
constexpr ULONGLONG kEventLogLimit = 1024 * 1024;
// How often the same failure is written while it goes on unchanged.
constexpr ULONGLONG kRepeatIntervalSeconds = 60 * 60;

// Appends one line: the local time, a space, then the event formatted as by
// swprintf. Use %ls for wide strings, %hs for narrow ones, %lu / %08lX for
// DWORDs, %llu for 64-bit counts. Line breaks and other control characters in
// the result become spaces (a peer's text cannot forge lines). A result
// longer than about 1000 characters is cut short.
void LogEvent(const wchar_t* format, ...);

// The same for a line that a loop writes again at every round for as long as
// its cause lasts (Marlowcast missing: a failed check, a restart and a failed
// launch every 8 s; the status probe finding nobody at every check). `topic`
// names what the line is about (L"status probe") and holds one line at a time:
// a line that differs from its topic's last one is written at once; the same
// line again within kRepeatIntervalSeconds of the last time it was written is
// only counted, and the first one after that is written with the count:
// "<event>; again, 450 times since 09:12". A null topic writes the line as
// LogEvent does. Only the last few topics are remembered.
void LogRepeatingEvent(const wchar_t* topic, const wchar_t* format, ...);

// The cause of a topic's lines is gone (Marlowcast answers again): its next
// line is written at once, whatever it says.
void EndRepeatingEvent(const wchar_t* topic);

// Windows' own description of a Win32 error, on one line without the final
// period and line break ("The system cannot find the file specified"); empty
// when Windows has none. For log lines: "error %lu (%ls)". Errors of a system
// library with a message table of its own (WinINet's 12000 and up) are looked
// up in `module` first. Leaves the thread's last-error value as it was.
std::wstring ErrorText(DWORD error, HMODULE module = nullptr);

// LogEvent for a call that has just failed: the line ends with the thread's
// last error, ", error 5 (Access is denied)". The error is read once the
// arguments are evaluated, so they must not change it (a path's c_str()
// does not); a caller that logs an error it did not get from the last call
// sets it first.
void LogLastError(const wchar_t* format, ...);

// The file lines go to: <folder>\Quillstone.log, where folder is the user's
// %LOCALAPPDATA%\Quillstone unless a test chose another. Empty when neither
// is known.
std::wstring EventLogPath();

// For tests: lines go to `folder` (made when missing, like the user's) from
// now on; null or empty goes back to the user's folder. The repeats counted
// so far are forgotten.
void SetEventLogFolder(const wchar_t* folder);

// For tests: the local time lines are stamped with, and repeats and rename
// attempts are timed by; null goes back to GetLocalTime.
using EventLogClock = void (*)(SYSTEMTIME* now);
void SetEventLogClock(EventLogClock clock);
