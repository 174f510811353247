#pragma once
// The one encoding boundary. Marlowcast speaks single-byte text in the system
// ANSI code page (the upgrade list, the request texts); everything else in
// Quillstone is UTF-16. Text comes in through FromAnsi once, where it enters,
// and goes back out only through ToAnsi.

#include <windows.h>

#include <cstddef>
#include <string>

// How WideCharToMultiByte may be called for a code page. Windows rejects a
// call with WC_NO_BEST_FIT_CHARS or a used-default-character argument in UTF-8
// and UTF-7, which the ANSI code page becomes under "Use Unicode UTF-8 for
// worldwide language support"; there, and in GB18030, WC_ERR_INVALID_CHARS
// refuses what cannot be encoded instead.
struct AnsiConversion {
    DWORD flags;
    bool askUsedDefault;  // pass a used-default-character pointer and refuse when it is set
};
AnsiConversion AnsiConversionFor(UINT codePage);

// `text` in code page `codePage` (CP_ACP: the system's ANSI code page), at
// most `limit` bytes with the terminator. False, and `out` emptied, when a
// character has no exact form in the code page (a best-fit substitute would
// name another file or server path) or the result is too long.
bool ToAnsi(const std::wstring& text, std::string* out, std::size_t limit, UINT codePage = CP_ACP);

// ANSI text to UTF-16, through the system's ANSI code page.
std::wstring FromAnsi(const std::string& text);

// UTF-16 to UTF-8 and back, for files of our own that must hold any path.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);
