// The command channel: the process-wide command socket and the lock that makes each command one
// step.
#pragma once

#include "link/SocketRoutines.h"
#include "platform/thread.h"

// The command connection to the console; -1 when there is none. Read and written only while
// CommandChannelLock() is held.
extern SocketHandle g_commandSocket;

// Held for each command's code, argument and reply, for a whole handshake, and while the
// socket is closed, so that no other thread can split a command or close the socket under it.
// The thread holding it may take it again: a failed send inside the connection sequence runs
// the sequence again on the same thread.
platform::StaticRecursiveLock& CommandChannelLock();
