#pragma once
// Reads back what a real window painted, for the upgrade window's tests.

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace qs_test {

// Pixels as 0xRRGGBB, row by row from the top, as a 32-bit top-down DIB holds them.
struct Image {
    BITMAPINFOHEADER info = {sizeof(BITMAPINFOHEADER), 0, 0, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<std::uint32_t> pixels;
    int width() const { return info.biWidth; }
    int height() const { return -info.biHeight; }
    std::uint32_t At(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width() + x]; }
};

// The client area as painted, or with wholeWindow the frame too.
inline Image Capture(HWND hWnd, bool wholeWindow = false) {
    RECT rc;
    wholeWindow ? GetWindowRect(hWnd, &rc) : GetClientRect(hWnd, &rc);
    Image image;
    image.info.biWidth = rc.right - rc.left;
    image.info.biHeight = -(rc.bottom - rc.top);
    image.pixels.resize(static_cast<std::size_t>(image.width()) * image.height());
    HDC hSource = wholeWindow ? GetWindowDC(hWnd) : GetDC(hWnd);
    HDC hMemory = CreateCompatibleDC(hSource);
    HBITMAP hBitmap = CreateCompatibleBitmap(hSource, image.width(), image.height());
    HGDIOBJ old = SelectObject(hMemory, hBitmap);
    BitBlt(hMemory, 0, 0, image.width(), image.height(), hSource, 0, 0, SRCCOPY);
    SelectObject(hMemory, old);
    GetDIBits(hMemory, hBitmap, 0, image.height(), image.pixels.data(), reinterpret_cast<BITMAPINFO*>(&image.info),
              DIB_RGB_COLORS);
    DeleteObject(hBitmap);
    DeleteDC(hMemory);
    ReleaseDC(hWnd, hSource);
    return image;
}

inline bool SaveBmp(const Image& image, const wchar_t* path) {
    const DWORD bytes = static_cast<DWORD>(image.pixels.size() * 4);
    const DWORD offset = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    const BITMAPFILEHEADER file = {0x4D42 /* "BM" */, offset + bytes, 0, 0, offset};
    FILE* f = _wfopen(path, L"wb");
    if (!f) return false;
    const bool ok = fwrite(&file, sizeof(file), 1, f) && fwrite(&image.info, sizeof(image.info), 1, f) &&
                    fwrite(image.pixels.data(), bytes, 1, f);
    return fclose(f) == 0 && ok;
}

constexpr std::uint32_t kBack = 0x5A6E82, kFill = 0x00FA00, kText = 0xFAFA00, kBlack = 0;

// What a bar shows: how many columns the fill covers from the left (a column
// counts when it shows fill and no background; text may cover part of any
// column), whether any text pixel is there, and whether the frame is whole.
struct BarLook {
    int filledColumns = 0;
    bool hasText = false;
    bool frameIsBlack = true;
};

inline BarLook LookAtBar(const Image& image) {
    BarLook look;
    const int w = image.width(), h = image.height();
    int lastFilled = 0;  // inside the frame, counted from its left side
    for (int x = 0; x < w; ++x) {
        bool fill = false, back = false;
        for (int y = 0; y < h; ++y) {
            const std::uint32_t c = image.At(x, y);
            if (x == 0 || y == 0 || x == w - 1 || y == h - 1) {
                look.frameIsBlack &= c == kBlack;
            } else {
                fill |= c == kFill;
                back |= c == kBack;
                look.hasText |= c == kText;
            }
        }
        if (fill && !back && lastFilled == x - 1) lastFilled = x;
    }
    // The frame's columns count with the fill they cover.
    look.filledColumns = lastFilled == 0 ? 0 : lastFilled == w - 2 ? w : lastFilled + 1;
    return look;
}

}  // namespace qs_test
