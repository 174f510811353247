#include "channel/ListenerOwner.h"

#include <winsock2.h>

#include <iphlpapi.h>

#include <vector>

#include "base/EventLog.h"
#include "base/Handles.h"
#include "channel/LocalChannel.h"

bool ListenerOwnedBy(const MIB_TCPTABLE_OWNER_PID& table, DWORD processId) {
    for (DWORD i = 0; i < table.dwNumEntries; ++i) {
        const MIB_TCPROW_OWNER_PID& row = table.table[i];
        const u_long address = ntohl(row.dwLocalAddr);
        if (ntohs(static_cast<u_short>(row.dwLocalPort)) == kLocalChannelPort &&
            (address == kLocalChannelAddress || address == INADDR_ANY)) {
            // Windows names every listener's owner; a table that names none
            // (Wine's) cannot tell another session's program from ours.
            return row.dwOwningPid == processId || row.dwOwningPid == 0;
        }
    }
    return false;
}

bool ListenerOwnedBy(DWORD processId) {
    // Asked once per check and per upgrade request: the library is not kept
    // loaded, so the idle process does not carry it.
    ModuleHandle iphlpapi(LoadLibraryExW(L"iphlpapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    using Query = DWORD(WINAPI*)(PVOID, PDWORD, BOOL, ULONG, TCP_TABLE_CLASS, ULONG);
    const auto query =
        iphlpapi
            ? reinterpret_cast<Query>(reinterpret_cast<void*>(GetProcAddress(iphlpapi.Get(), "GetExtendedTcpTable")))
            : nullptr;
    if (!query) {
        LogEvent(L"The TCP table cannot be read (no IP helper): the answer is not counted as Marlowcast's");
        return false;
    }
    std::vector<char> table;
    DWORD size = 0, result = ERROR_INSUFFICIENT_BUFFER;
    // The table may grow between the two calls: a few tries.
    for (int tries = 0; tries < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++tries) {
        table.resize(size ? size : sizeof(MIB_TCPTABLE_OWNER_PID));
        size = static_cast<DWORD>(table.size());
        result = query(table.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_LISTENER, 0);
    }
    if (result != NO_ERROR) {
        LogEvent(L"The TCP table cannot be read: error %lu (%ls); the answer is not counted as Marlowcast's", result,
                 ErrorText(result).c_str());
        return false;
    }
    return ListenerOwnedBy(*reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(table.data()), processId);
}
