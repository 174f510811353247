#pragma once
// The application object: single-instance guard, process set-up, the
// supervisor window's modal run, and the orderly exit.

#include <winsock2.h>

#include "base/Handles.h"
#include "framework/Framework.h"

class CQuillstoneApp : public CWinApp {
public:
    CQuillstoneApp();

    BOOL InitInstance() override;
    int ExitInstance() override;

    UniqueHandle m_hMutex;  // our instance mutex while we are the first instance
    WSADATA m_wsaData;

    DECLARE_MESSAGE_MAP()
};

// Whether another supervisor holds the instance mutex decides which of the two
// texts a second start shows.
LPCWSTR SecondInstanceText(BOOL bMarlowcastRunning);
