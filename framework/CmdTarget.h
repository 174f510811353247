#pragma once
// Base of everything that owns a message map: windows and the application.

#include "framework/MessageMap.h"

class CCmdTarget {
public:
    virtual ~CCmdTarget() = default;

    // Looks the message up in this object's map and its bases' maps; runs the
    // first matching handler. Returns FALSE when no entry matches.
    BOOL DispatchMessageMap(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

    // Routes a WM_COMMAND-style command through this object's map only.
    BOOL OnCmdMsg(UINT nID, UINT nCode);

protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;
};
