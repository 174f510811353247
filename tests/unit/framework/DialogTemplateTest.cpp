// The dialog templates as they are built into Quillstone.exe, control by
// control: what a user sees of a dialog is this data, and the resource
// compiler is quick to drop a style word without a word of warning.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

#include "res/resource.h"

namespace {

struct Control {
    int id;
    std::wstring cls;   // "button", "static", or the class name
    std::wstring text;  // "#128" for a resource ordinal; "*" for any text
    short x, y, cx, cy;
    DWORD style;
    DWORD exStyle;
    bool operator==(const Control& o) const {
        return id == o.id && cls == o.cls && (text == o.text || text == L"*" || o.text == L"*") && x == o.x &&
               y == o.y && cx == o.cx && cy == o.cy && style == o.style && exStyle == o.exStyle;
    }
};

struct Template {
    DWORD style = 0, exStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring caption, face;
    WORD points = 0, weight = 0;
    BYTE italic = 0, charset = 0;
    std::vector<Control> controls;
};

void PrintTo(const Control& c, std::ostream* out) {
    *out << "{" << c.id << ", " << std::string(c.cls.begin(), c.cls.end()) << ", \""
         << std::string(c.text.begin(), c.text.end()) << "\", " << c.x << "," << c.y << "," << c.cx << "," << c.cy
         << ", style 0x" << std::hex << c.style << ", ex 0x" << c.exStyle << std::dec << "}";
}

// Reads dialog templates, classic and extended, as Windows lays them out.
class Reader {
public:
    explicit Reader(const BYTE* p) : m_p(p), m_start(p) {}
    WORD Word() { return Take<WORD>(); }
    DWORD Dword() { return Take<DWORD>(); }
    short Short() { return Take<short>(); }
    BYTE Byte() { return Take<BYTE>(); }
    // A string, or a 0xFFFF-prefixed ordinal ("#n"), or nothing (0).
    std::wstring SzOrOrd(bool className = false) {
        if (Peek() == 0xFFFF) {
            Word();
            const WORD ordinal = Word();
            if (className && ordinal == 0x0080) return L"button";
            if (className && ordinal == 0x0082) return L"static";
            return L"#" + std::to_wstring(ordinal);
        }
        std::wstring text;
        while (WORD c = Word()) text += static_cast<wchar_t>(c);
        return text;
    }
    void AlignDword() { m_p = m_start + ((m_p - m_start + 3) & ~static_cast<std::ptrdiff_t>(3)); }

private:
    WORD Peek() const {
        WORD w;
        std::memcpy(&w, m_p, sizeof w);
        return w;
    }
    template <typename T>
    T Take() {
        T value;
        std::memcpy(&value, m_p, sizeof value);
        m_p += sizeof value;
        return value;
    }
    const BYTE* m_p;
    const BYTE* m_start;
};

Template Parse(const BYTE* data) {
    Reader r(data);
    Template t;
    const bool extended = r.Word() == 1 && r.Word() == 0xFFFF;
    if (!extended) r = Reader(data);
    if (extended) r.Dword();  // help id
    if (extended) {
        t.exStyle = r.Dword();
        t.style = r.Dword();
    } else {
        t.style = r.Dword();
        t.exStyle = r.Dword();
    }
    const WORD count = r.Word();
    t.x = r.Short(), t.y = r.Short(), t.cx = r.Short(), t.cy = r.Short();
    r.SzOrOrd();  // menu
    r.SzOrOrd();  // class
    t.caption = r.SzOrOrd();
    if (t.style & DS_SETFONT) {
        t.points = r.Word();
        if (extended) t.weight = r.Word(), t.italic = r.Byte(), t.charset = r.Byte();
        t.face = r.SzOrOrd();
    }
    for (WORD i = 0; i < count; ++i) {
        r.AlignDword();
        Control c{};
        if (extended) {
            r.Dword();  // help id
            c.exStyle = r.Dword();
            c.style = r.Dword();
        } else {
            c.style = r.Dword();
            c.exStyle = r.Dword();
        }
        c.x = r.Short(), c.y = r.Short(), c.cx = r.Short(), c.cy = r.Short();
        c.id = extended ? static_cast<int>(r.Dword()) : static_cast<short>(r.Word());
        c.cls = r.SzOrOrd(true);
        // A system class may be named instead of numbered; names ignore case.
        for (wchar_t& ch : c.cls) ch = static_cast<wchar_t>(towlower(ch));
        c.text = r.SzOrOrd();
        const WORD extra = r.Word();
        for (WORD b = 0; b < extra; ++b) r.Byte();
        t.controls.push_back(c);
    }
    return t;
}

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;

TEST(DialogTemplates, AreTheOnesInTheSupervisorsTables) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring exe(path);
    exe = exe.substr(0, exe.rfind(L'\\')) + L"\\Quillstone.exe";
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr) << "Quillstone.exe is built beside the tests";

    const DWORD label = kChild | WS_GROUP | SS_LEFT;
    const DWORD idLabel = kChild | WS_GROUP | WS_BORDER | SS_CENTER | SS_CENTERIMAGE;
    const struct {
        int id;
        Template expected;
    } dialogs[] = {
        // clang-format off
        {IDD_MAIN_DIALOG, {0x90C800C0, WS_EX_APPWINDOW, 0, 0, 266, 200, L"Quillstone for Marlowcast", L"MS Sans Serif",
                           8, 0, 0, DEFAULT_CHARSET, {
            {IDOK, L"button", L"Exit", 198, 178, 50, 14, kChild | WS_TABSTOP | BS_DEFPUSHBUTTON, 0},
            {-1, L"static", L"Marlowcast Process ID :", 44, 33, 85, 8, label, 0},
            {-1, L"static", L"Marlowcast Thread ID :", 46, 74, 81, 8, label, 0},
            {-1, L"static", L"Marlowcast Window ID :", 45, 114, 81, 8, label, 0},
            {IDC_PROCESS_ID, L"static", L"0", 170, 33, 62, 10, idLabel, 0},
            {IDC_THREAD_ID, L"static", L"0", 170, 73, 62, 10, idLabel, 0},
            {IDC_WINDOW_ID, L"static", L"0", 170, 112, 62, 10, idLabel, 0},
            {IDC_START_STATUS, L"static", L"", 33, 146, 212, 8, label, 0}}}},
        {IDD_ABOUTBOX, {0x80C800C0, 0, 0, 0, 235, 55, L"About Quillstone", L"MS Sans Serif", 8, 0, 0, ANSI_CHARSET, {
            {-1, L"static", L"#128", 11, 17, 20, 20, kChild | SS_ICON, 0},
            {-1, L"static", L"Quillstone Version 1.2", 40, 10, 119, 8, label | SS_NOPREFIX, 0},
            {-1, L"static", L"*", 40, 25, 119, 8, label, 0},  // the maker's notice
            {IDOK, L"button", L"OK", 178, 7, 50, 14, kChild | WS_GROUP | WS_TABSTOP | BS_DEFPUSHBUTTON, 0}}}},
        {IDD_UPGRADE, {0x80800040, 0, 0, 0, 247, 36, L"", L"System", 10, 0, 0, 0, {
            {IDC_UPGRADE_FILE, L"static", L"", 26, 14, 202, 8, 0x50020201, 0}}}},
        // clang-format on
    };
    for (const auto& d : dialogs) {
        SCOPED_TRACE(d.id);
        HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(d.id), MAKEINTRESOURCEW(5));  // RT_DIALOG
        ASSERT_NE(found, nullptr);
        const Template t = Parse(static_cast<const BYTE*>(LockResource(LoadResource(module, found))));
        const Template& e = d.expected;
        EXPECT_EQ(t.style, e.style);
        EXPECT_EQ(t.exStyle, e.exStyle);
        EXPECT_EQ(std::vector<short>({t.x, t.y, t.cx, t.cy}), std::vector<short>({e.x, e.y, e.cx, e.cy}));
        EXPECT_EQ(t.caption, e.caption);
        EXPECT_EQ(t.face, e.face);
        EXPECT_EQ(t.points, e.points);
        EXPECT_EQ(t.weight, e.weight);
        EXPECT_EQ(t.italic, e.italic);
        EXPECT_EQ(t.charset, e.charset);
        EXPECT_EQ(t.controls, e.controls);
    }
    FreeLibrary(module);
}

}  // namespace
