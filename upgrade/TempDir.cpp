#include "upgrade/TempDir.h"

std::size_t TrimTempDir(wchar_t* path, std::size_t length, std::size_t capacity) {
    if (capacity == 0) return 0;
    if (length < 1 || length >= capacity) {
        path[0] = L'\0';
        return 0;
    }
    path[length] = L'\0';
    // Only one: a drive root "C:\" becomes "C:", which still joins to "C:\name".
    if (path[length - 1] == L'\\') path[--length] = L'\0';
    return length;
}
