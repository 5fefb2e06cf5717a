// The command channel: the process-wide command socket and the lock that makes each command one
// step.
#pragma once

#include "link/SocketRoutines.h"
#include "platform/thread.h"

// Held for each command's code, argument and reply, for a whole handshake, and while the
// socket is closed, so that no other thread can split a command or close the socket under it.
// The thread holding it may take it again: a failed send inside the connection sequence runs
// the sequence again on the same thread.
extern platform::StaticRecursiveLock g_commandChannelLock;
platform::StaticRecursiveLock& CommandChannelLock() KVT_RETURN_CAPABILITY(g_commandChannelLock);

// The command connection to the console; -1 when there is none.
extern SocketHandle g_commandSocket KVT_GUARDED_BY(g_commandChannelLock);
