#pragma once
// Message maps with the desktop framework's spelling. Each entry holds a
// captureless lambda that unpacks wParam/lParam and calls a member function
// through a pointer-to-member of the exact expected type, so a handler with the
// wrong signature does not compile.

#include <windows.h>

class CCmdTarget;

using AFX_PMSG_THUNK = LRESULT (*)(CCmdTarget* target, WPARAM wParam, LPARAM lParam);

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;  // window message; WM_COMMAND entries also match nCode and nID
    UINT nCode;     // command notification code (0 for menus, accelerators, BN_CLICKED)
    UINT nID;       // command id
    AFX_PMSG_THUNK pfn;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

// The macros below are laid out as the tables they build.
// clang-format off
#define DECLARE_MESSAGE_MAP()                          \
protected:                                             \
    static const AFX_MSGMAP* GetThisMessageMap();      \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                      \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); } \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {                               \
        using ThisClass [[maybe_unused]] = theClass;                                \
        using TheBaseClass = baseClass;                                             \
        static const AFX_MSGMAP_ENTRY entries[] = {
#define END_MESSAGE_MAP()                                                          \
        { 0, 0, 0, nullptr } };                                                    \
        static const AFX_MSGMAP messageMap = { &TheBaseClass::GetThisMessageMap, entries }; \
        return &messageMap;                                                        \
    }

#define AFX_THUNK(body) [](CCmdTarget* pTarget, [[maybe_unused]] WPARAM wParam, \
                           [[maybe_unused]] LPARAM lParam) -> LRESULT {          \
        [[maybe_unused]] auto* self = static_cast<ThisClass*>(pTarget); body }

// LRESULT Handler(WPARAM, LPARAM)
#define ON_MESSAGE(message, memberFxn)                                        \
    { message, 0, 0, AFX_THUNK(LRESULT (ThisClass::*pfn)(WPARAM, LPARAM) =    \
                                   &ThisClass::memberFxn;                      \
                               return (self->*pfn)(wParam, lParam);) },

// void Handler()
#define ON_COMMAND(id, memberFxn)                                             \
    { WM_COMMAND, 0, (UINT)(id), AFX_THUNK(void (ThisClass::*pfn)() =          \
                                               &ThisClass::memberFxn;          \
                                           (self->*pfn)(); return 0;) },

// void OnTimer(UINT_PTR nIDEvent)
#define ON_WM_TIMER()                                                         \
    { WM_TIMER, 0, 0, AFX_THUNK(void (ThisClass::*pfn)(UINT_PTR) =            \
                                    &ThisClass::OnTimer;                       \
                                (self->*pfn)(wParam); return 0;) },

// void OnPaint()
#define ON_WM_PAINT()                                                         \
    { WM_PAINT, 0, 0, AFX_THUNK(void (ThisClass::*pfn)() = &ThisClass::OnPaint; \
                                (self->*pfn)(); return 0;) },

// void OnSysCommand(UINT nID, LPARAM lParam)
#define ON_WM_SYSCOMMAND()                                                    \
    { WM_SYSCOMMAND, 0, 0, AFX_THUNK(void (ThisClass::*pfn)(UINT, LPARAM) =   \
                                         &ThisClass::OnSysCommand;             \
                                     (self->*pfn)((UINT)wParam, lParam); return 0;) },

// HCURSOR OnQueryDragIcon()
#define ON_WM_QUERYDRAGICON()                                                 \
    { WM_QUERYDRAGICON, 0, 0, AFX_THUNK(HCURSOR (ThisClass::*pfn)() =          \
                                            &ThisClass::OnQueryDragIcon;        \
                                        return (LRESULT)(self->*pfn)();) },

// int OnCreate(LPCREATESTRUCT)
#define ON_WM_CREATE()                                                        \
    { WM_CREATE, 0, 0, AFX_THUNK(int (ThisClass::*pfn)(LPCREATESTRUCTW) =     \
                                     &ThisClass::OnCreate;                     \
                                 return (LRESULT)(self->*pfn)((LPCREATESTRUCTW)lParam);) },

// void OnDestroy()
#define ON_WM_DESTROY()                                                       \
    { WM_DESTROY, 0, 0, AFX_THUNK(void (ThisClass::*pfn)() = &ThisClass::OnDestroy; \
                                  (self->*pfn)(); return 0;) },
// clang-format on
