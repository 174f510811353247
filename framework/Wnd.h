#pragma once
// Window wrappers: CWnd (an HWND with a virtual window procedure and a message
// map), CStatic, and the small GDI/menu owners the supervisor needs.

#include <windows.h>

#include "framework/CmdTarget.h"

class CWnd : public CCmdTarget {
public:
    CWnd() = default;
    ~CWnd() override;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND m_hWnd = nullptr;

    // Creates a child or top-level window of a system class (e.g. L"STATIC").
    // The class is superclassed once per process so that WM_NCCREATE, and so
    // WM_CREATE, already reach this object's WindowProc.
    BOOL CreateEx(DWORD dwExStyle, LPCWSTR lpszSystemClass, LPCWSTR lpszWindowName, DWORD dwStyle, const RECT& rect,
                  CWnd* pParentWnd, UINT nID);
    BOOL DestroyWindow();

    // Every message passes here: the map first, then the default handling.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);

    // Thin forwards to the Win32 calls of the same name.
    BOOL ShowWindow(int nCmdShow) { return ::ShowWindow(m_hWnd, nCmdShow); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    void GetClientRect(RECT* rect) const { ::GetClientRect(m_hWnd, rect); }
    HWND GetDlgItem(int nID) const { return ::GetDlgItem(m_hWnd, nID); }
    BOOL SetDlgItemText(int nID, LPCWSTR text) { return ::SetDlgItemTextW(m_hWnd, nID, text); }
    void Invalidate(BOOL bErase = TRUE) {
        if (m_hWnd) ::InvalidateRect(m_hWnd, nullptr, bErase);
    }
    LRESULT SendMessage(UINT m, WPARAM w = 0, LPARAM l = 0) { return ::SendMessageW(m_hWnd, m, w, l); }
    BOOL PostMessage(UINT m, WPARAM w = 0, LPARAM l = 0) { return ::PostMessageW(m_hWnd, m, w, l); }
    HMENU GetSystemMenu(BOOL bRevert) const { return ::GetSystemMenu(m_hWnd, bRevert); }

protected:
    // Default handling of the message being dispatched (the handlers of the
    // framework's messages below call it, as the framework's own do).
    LRESULT Default();
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);

    void OnTimer(UINT_PTR) { Default(); }
    void OnPaint() { Default(); }
    void OnSysCommand(UINT, LPARAM) { Default(); }
    int OnCreate(LPCREATESTRUCTW) { return (int)Default(); }
    void OnDestroy() { Default(); }

    // The message being dispatched, for Default(). Saved and restored around
    // each dispatch, since handlers may cause nested (sent) messages.
    struct CurrentMessage {
        UINT message = 0;
        WPARAM wParam = 0;
        LPARAM lParam = 0;
    };
    CurrentMessage m_current;

    // Dispatch with the bookkeeping above; used by the static procedures.
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

    static const AFX_MSGMAP* GetThisMessageMap();
    const AFX_MSGMAP* GetMessageMap() const override;

private:
    static LRESULT CALLBACK StandardWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    WNDPROC m_pfnSuper = nullptr;  // the system class's procedure
};

class CStatic : public CWnd {
public:
    BOOL Create(LPCWSTR lpszText, DWORD dwStyle, const RECT& rect, CWnd* pParentWnd, UINT nID = 0xFFFF) {
        return CreateEx(0, L"STATIC", lpszText, dwStyle, rect, pParentWnd, nID);
    }
};

// Owns a GDI brush; deletes it with the object.
class CBrush {
public:
    CBrush() = default;
    ~CBrush() { DeleteObject(); }
    CBrush(const CBrush&) = delete;
    CBrush& operator=(const CBrush&) = delete;

    BOOL CreateSolidBrush(COLORREF color) { return Attach(::CreateSolidBrush(color)); }
    BOOL Attach(HBRUSH hBrush) {
        DeleteObject();
        m_hObject = hBrush;
        return hBrush != nullptr;
    }
    void DeleteObject() {
        if (m_hObject) ::DeleteObject(m_hObject);
        m_hObject = nullptr;
    }
    operator HBRUSH() const { return m_hObject; }

    HBRUSH m_hObject = nullptr;
};

// A menu handle; destroys a menu it loaded, never one it was merely given.
class CMenu {
public:
    CMenu() = default;
    explicit CMenu(HMENU hMenu) : m_hMenu(hMenu), m_bOwned(false) {}
    ~CMenu() { DestroyMenu(); }
    CMenu(const CMenu&) = delete;
    CMenu& operator=(const CMenu&) = delete;

    BOOL LoadMenu(UINT nIDResource);
    BOOL DestroyMenu();
    HMENU GetSubMenu(int nPos) const { return ::GetSubMenu(m_hMenu, nPos); }
    BOOL AppendMenu(UINT nFlags, UINT_PTR nIDNewItem = 0, LPCWSTR lpszNewItem = nullptr) {
        return ::AppendMenuW(m_hMenu, nFlags, nIDNewItem, lpszNewItem);
    }

    HMENU m_hMenu = nullptr;

private:
    bool m_bOwned = false;
};
