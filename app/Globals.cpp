#include "app/Globals.h"

std::atomic<int> g_bRunning{0};
char g_szUpgradeList[kUpgradeListSize];
