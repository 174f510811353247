#pragma once
// One include for code built on the framework layer.
#include "framework/CmdTarget.h"
#include "framework/Dialog.h"
#include "framework/WinApp.h"
#include "framework/Wnd.h"
