// The data-channel server: one thread that accepts the console's data connection on port 2002
// and turns its messages into changes of the scanner object.
#pragma once

#include "link/SocketRoutines.h"
#include "platform/thread.h"

class KvtScan3DLumora;

// The listening socket and the connection being served; -1 when there is none. Read and
// written only under DataChannelLock().
extern SocketHandle g_listenSocket;
extern SocketHandle g_acceptedSocket;

// The data-channel thread once started; it is never started again. Host's thread only.
extern platform::Thread* g_serverThread;

// Guards the two sockets above and the scanner object the thread serves. The thread holds it
// whenever it touches the scanner object, so teardown can take the object away from it.
platform::RecursiveLock& DataChannelLock();

// Starts Windows Sockets 2.2 for the process once; prints "WSAStartup failed [%d]\n" and
// returns false when it cannot be started.
bool StartSockets();

// The thread procedure; its argument is not used.
unsigned DataChannelThread(void* unused);

// Starts the thread for this scanner object unless g_serverThread is set, starting Windows
// Sockets first so the command channel can be used at once. False when the thread could not
// be started.
bool StartDataChannelThread(KvtScan3DLumora* scanner);

// Teardown: takes the scanner object away from the thread, makes the thread leave its accept
// wait and the connection it serves, and waits at most timeoutMs for its end. True when the
// thread has ended or was never started.
bool StopDataChannelThread(unsigned timeoutMs);
