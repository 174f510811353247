#include "framework/CmdTarget.h"

namespace {

bool Matches(const AFX_MSGMAP_ENTRY& e, UINT message, WPARAM wParam, LPARAM lParam) {
    if (e.nMessage != message) return false;
    if (message != WM_COMMAND) return true;
    // Menus and accelerators have no control window: treat them as a plain
    // command whatever their high word says.
    UINT code = lParam ? HIWORD(wParam) : 0;
    return e.nID == LOWORD(wParam) && e.nCode == code;
}

}  // namespace

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, nullptr}};
    static const AFX_MSGMAP map = {nullptr, entries};
    return &map;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const { return GetThisMessageMap(); }

BOOL CCmdTarget::DispatchMessageMap(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    for (const AFX_MSGMAP* map = GetMessageMap(); map; map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e->pfn; ++e) {
            if (Matches(*e, message, wParam, lParam)) {
                *result = e->pfn(this, wParam, lParam);
                return TRUE;
            }
        }
    }
    return FALSE;
}

BOOL CCmdTarget::OnCmdMsg(UINT nID, UINT nCode) {
    LRESULT ignored = 0;
    return DispatchMessageMap(WM_COMMAND, MAKEWPARAM(nID, nCode), 0, &ignored);
}
