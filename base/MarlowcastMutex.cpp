#include "base/MarlowcastMutex.h"

#include "base/Handles.h"
#include "base/Protocol.h"

bool IsMarlowcastRunning() {
    UniqueHandle mutex(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, kMarlowcastMutexName));
    if (mutex) return true;
    return GetLastError() != ERROR_FILE_NOT_FOUND;
}
