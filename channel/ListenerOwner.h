#pragma once
// Whose answer it is. Loopback ports are shared by every session of the
// machine: with fast user switching or a terminal server another user's
// Marlowcast may hold 127.0.0.1:50918, and its answers must not count for
// ours. The listener's owning process is read from the TCP table.

#include <winsock2.h>

#include <iphlpapi.h>

// True when the process that listens on 127.0.0.1:50918 (or on every local
// address at that port) is `processId`. False for another owner, no listener,
// or a table that cannot be read: an answer nobody can vouch for is not
// Marlowcast's. Loads the IP helper library for the call only.
bool ListenerOwnedBy(DWORD processId);
// The same judgement of a table of listeners (IPv4, with owners). A listener
// whose owner the table does not name (process id 0) is taken as ours.
bool ListenerOwnedBy(const MIB_TCPTABLE_OWNER_PID& table, DWORD processId);
