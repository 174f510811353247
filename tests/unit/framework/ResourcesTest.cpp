// The resources a user sees: the tray menu's items and commands, the system
// menu's About text, and the version the About box names.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "res/resource.h"

namespace {

TEST(Resources, TrayMenuOffersExactlyAboutAndExit) {
    HMENU menu = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_TRAY_MENU));
    ASSERT_NE(menu, nullptr);
    HMENU popup = GetSubMenu(menu, 0);
    ASSERT_NE(popup, nullptr);
    struct Item {
        std::wstring text;
        UINT id;
        bool operator==(const Item& o) const { return text == o.text && id == o.id; }
    };
    std::vector<Item> items;
    for (int i = 0; i < GetMenuItemCount(popup); ++i) {
        wchar_t text[64] = {};
        GetMenuStringW(popup, i, text, 64, MF_BYPOSITION);
        items.push_back({text, GetMenuItemID(popup, i)});
    }
    std::vector<Item> expected = {{L"About", ID_CONTROL_ABOUT}, {L"Exit", ID_CONTROL_EXIT}};
    EXPECT_TRUE(items == expected);
    wchar_t title[64] = {};
    GetMenuStringW(menu, 0, title, 64, MF_BYPOSITION);
    EXPECT_STREQ(title, L"Control");
    DestroyMenu(menu);
}

TEST(Resources, SystemMenuTextAndVersion) {
    wchar_t text[64] = {};
    LoadStringW(GetModuleHandleW(nullptr), IDS_ABOUTBOX, text, 64);
    EXPECT_STREQ(text, L"&About Quillstone...");

    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    DWORD size = GetFileVersionInfoSizeW(path, nullptr);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path, 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010002u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00010001u);
    wchar_t* product = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904B0\\ProductName",
                               reinterpret_cast<void**>(&product), &len));
    EXPECT_STREQ(product, L"Quillstone Software");
}

// What Quillstone.exe declares to Windows in its manifest (Wine reads none of
// these settings, so the declarations themselves are checked).
TEST(Resources, TheManifestDeclaresWhatWindowsAsksFor) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring exe = path;
    exe = exe.substr(0, exe.rfind(L'\\')) + L"\\Quillstone.exe";
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr) << "Quillstone.exe is built beside the tests";
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
    ASSERT_NE(found, nullptr);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(module, found)));
    const std::string manifest(bytes, SizeofResource(module, found));
    for (
        const char* declared : {
            R"(<longPathAware xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">true</longPathAware>)",
            R"(<dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">PerMonitorV2, PerMonitor</dpiAwareness>)",
            R"(<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true/pm</dpiAware>)",
        }) {
        EXPECT_NE(manifest.find(declared), std::string::npos) << declared;
    }

    // The icon holds an image for each size Windows asks for at each DPI
    // (small: 16, 20, 24; large: 32, 40, 48) and larger ones, each drawn for
    // its size: none is a smaller one enlarged by the shell.
    HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(IDR_MAINFRAME), MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
    ASSERT_NE(group, nullptr);
    const BYTE* dir = static_cast<const BYTE*>(LockResource(LoadResource(module, group)));
    const WORD count = *reinterpret_cast<const WORD*>(dir + 4);
    std::vector<int> sizes;
    for (WORD i = 0; i < count; ++i) {
        const BYTE* entry = dir + 6 + 14 * i;  // width, height, colours, reserved, planes, bits, bytes, id
        EXPECT_EQ(entry[0], entry[1]);
        sizes.push_back(entry[0]);
    }
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (std::vector<int>{16, 20, 24, 32, 40, 48, 64, 128}));
    FreeLibrary(module);
}

}  // namespace
