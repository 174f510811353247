#include "framework/Dialog.h"

#include "framework/WinApp.h"

BEGIN_MESSAGE_MAP(CDialog, CWnd)
    ON_MESSAGE(WM_INITDIALOG, HandleInitDialog)
    ON_COMMAND(IDOK, OnOK)
    ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

INT_PTR CDialog::DoModal() {
    // Without a parent the application's main window owns the dialog.
    HWND hParent = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    if (!hParent && AfxGetMainWnd() && AfxGetMainWnd() != this) hParent = AfxGetMainWnd()->m_hWnd;
    m_bModal = true;
    INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(m_nIDTemplate), hParent, DialogProc,
                                     reinterpret_cast<LPARAM>(this));
    m_bModal = false;
    m_hWnd = nullptr;
    return result;
}

BOOL CDialog::Create(UINT nIDTemplate, CWnd* pParentWnd) {
    m_nIDTemplate = nIDTemplate;
    m_pParentWnd = pParentWnd;
    m_bModal = false;
    HWND hWnd =
        CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(nIDTemplate),
                           pParentWnd ? pParentWnd->m_hWnd : nullptr, DialogProc, reinterpret_cast<LPARAM>(this));
    return hWnd != nullptr;
}

void CDialog::EndDialog(int nResult) {
    if (!m_hWnd) return;
    if (m_bModal) {
        ::EndDialog(m_hWnd, nResult);
    } else {
        // A modeless dialog is not ended, only hidden; its owner destroys it.
        ::ShowWindow(m_hWnd, SW_HIDE);
    }
}

LRESULT CDialog::DefWindowProc(UINT, WPARAM, LPARAM) {
    m_bUseDefault = true;
    return 0;
}

LRESULT CDialog::HandleInitDialog(WPARAM, LPARAM) { return OnInitDialog(); }

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CDialog* pDlg = nullptr;
    if (message == WM_INITDIALOG) {
        pDlg = reinterpret_cast<CDialog*>(lParam);
        pDlg->m_hWnd = hWnd;
        SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
    } else {
        pDlg = reinterpret_cast<CDialog*>(GetWindowLongPtrW(hWnd, DWLP_USER));
    }
    if (!pDlg) return FALSE;

    bool savedUseDefault = pDlg->m_bUseDefault;
    pDlg->m_bUseDefault = false;
    LRESULT result = pDlg->Dispatch(message, wParam, lParam);
    bool useDefault = pDlg->m_bUseDefault;
    pDlg->m_bUseDefault = savedUseDefault;

    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hWnd, DWLP_USER, 0);
        pDlg->m_hWnd = nullptr;
    }
    if (useDefault) return FALSE;
    switch (message) {
        // These return their value directly instead of through DWLP_MSGRESULT.
        case WM_INITDIALOG:
        case WM_QUERYDRAGICON:
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM: return static_cast<INT_PTR>(result);
        default: SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, result); return TRUE;
    }
}
