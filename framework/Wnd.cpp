#include "framework/Wnd.h"

#include <string>

#include "framework/WinApp.h"

CWnd::~CWnd() {
    // An owner destroys its windows before the objects; a window left over here
    // would keep a dangling pointer to this object.
    if (m_hWnd && IsWindow(m_hWnd)) ::DestroyWindow(m_hWnd);
}

const AFX_MSGMAP* CWnd::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, nullptr}};
    static const AFX_MSGMAP map = {&CCmdTarget::GetThisMessageMap, entries};
    return &map;
}

const AFX_MSGMAP* CWnd::GetMessageMap() const { return GetThisMessageMap(); }

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (DispatchMessageMap(message, wParam, lParam, &result)) return result;
    // Commands nobody here handles go to the application, as in the framework.
    if (message == WM_COMMAND && lParam == 0 && AfxGetApp() && AfxGetApp()->OnCmdMsg(LOWORD(wParam), 0)) {
        return 0;
    }
    return DefWindowProc(message, wParam, lParam);
}

LRESULT CWnd::Default() { return DefWindowProc(m_current.message, m_current.wParam, m_current.lParam); }

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (m_pfnSuper) return CallWindowProcW(m_pfnSuper, m_hWnd, message, wParam, lParam);
    return ::DefWindowProcW(m_hWnd, message, wParam, lParam);
}

LRESULT CWnd::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    CurrentMessage saved = m_current;
    m_current = {message, wParam, lParam};
    LRESULT result = 0;
    try {
        result = WindowProc(message, wParam, lParam);
    } catch (...) {
        // Nothing may unwind through the system's window procedure.
        result = 0;
    }
    m_current = saved;
    return result;
}

namespace {
struct Superclass {
    std::wstring name;
    WNDPROC systemProc = nullptr;
};
}  // namespace

BOOL CWnd::CreateEx(DWORD dwExStyle, LPCWSTR lpszSystemClass, LPCWSTR lpszWindowName, DWORD dwStyle, const RECT& rect,
                    CWnd* pParentWnd, UINT nID) {
    // One superclass per system class, registered on first use; the UI thread
    // creates all windows, so this needs no lock.
    static Superclass registered[4];
    HINSTANCE hInst = GetModuleHandleW(nullptr);
    Superclass* sc = nullptr;
    for (Superclass& s : registered) {
        if (s.systemProc && s.name == std::wstring(L"Qs.") + lpszSystemClass) {
            sc = &s;
            break;
        }
    }
    if (!sc) {
        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof(wc);
        if (!GetClassInfoExW(nullptr, lpszSystemClass, &wc)) return FALSE;
        for (Superclass& s : registered) {
            if (!s.systemProc) {
                sc = &s;
                break;
            }
        }
        if (!sc) return FALSE;
        sc->name = std::wstring(L"Qs.") + lpszSystemClass;
        sc->systemProc = wc.lpfnWndProc;
        wc.lpfnWndProc = StandardWndProc;
        wc.hInstance = hInst;
        wc.lpszClassName = sc->name.c_str();
        wc.style &= ~CS_GLOBALCLASS;
        if (!RegisterClassExW(&wc)) {
            sc->systemProc = nullptr;
            return FALSE;
        }
    }
    m_pfnSuper = sc->systemProc;
    HWND hParent = pParentWnd ? pParentWnd->m_hWnd : nullptr;
    HMENU hMenuOrId = (dwStyle & WS_CHILD) ? reinterpret_cast<HMENU>(static_cast<UINT_PTR>(nID)) : nullptr;
    HWND hWnd = CreateWindowExW(dwExStyle, sc->name.c_str(), lpszWindowName, dwStyle, rect.left, rect.top,
                                rect.right - rect.left, rect.bottom - rect.top, hParent, hMenuOrId, hInst, this);
    return hWnd != nullptr;
}

BOOL CWnd::DestroyWindow() {
    if (!m_hWnd) return FALSE;
    return ::DestroyWindow(m_hWnd);
}

LRESULT CALLBACK CWnd::StandardWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CWnd* pWnd = nullptr;
    if (message == WM_NCCREATE) {
        pWnd = static_cast<CWnd*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        pWnd->m_hWnd = hWnd;
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pWnd));
    } else {
        pWnd = reinterpret_cast<CWnd*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    }
    if (!pWnd) return ::DefWindowProcW(hWnd, message, wParam, lParam);
    LRESULT result = pWnd->Dispatch(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, 0);
        pWnd->m_hWnd = nullptr;
    }
    return result;
}

BOOL CMenu::LoadMenu(UINT nIDResource) {
    DestroyMenu();
    m_hMenu = ::LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(nIDResource));
    m_bOwned = true;
    return m_hMenu != nullptr;
}

BOOL CMenu::DestroyMenu() {
    BOOL ok = TRUE;
    if (m_hMenu && m_bOwned) ok = ::DestroyMenu(m_hMenu);
    m_hMenu = nullptr;
    m_bOwned = false;
    return ok;
}
