// The data-channel server: one thread that accepts the console's data connection on port 2002
// and turns its messages into changes of the scanner object.
#pragma once

#include "datachannel/PoseConversion.h"
#include "platform/thread.h"
#include "wire/SocketRoutines.h"
#include "wire/WireRecords.h"

class KvtScan3DLumora;

// Guards the two sockets below and the scanner object the thread serves. The thread holds it
// whenever it touches the scanner object, so teardown can take the object away from it.
extern platform::StaticRecursiveLock g_dataChannelLock;
platform::StaticRecursiveLock& DataChannelLock() KVT_RETURN_CAPABILITY(g_dataChannelLock);

// The listening socket and the connection being served; -1 when there is none.
extern SocketHandle g_listenSocket KVT_GUARDED_BY(g_dataChannelLock);
extern SocketHandle g_acceptedSocket KVT_GUARDED_BY(g_dataChannelLock);

// The data-channel thread once started; it is never started again. Host's thread only.
extern platform::Thread* g_serverThread;

// Starts Windows Sockets 2.2 for the process once; prints "WSAStartup failed [%d]\n" and
// returns false when it cannot be started.
bool StartSockets();

// The thread procedure; its argument is not used.
unsigned DataChannelThread(void* unused);

// DATA_END's pause before it clears the scanning flags and the connection closes.
constexpr unsigned DATA_END_PAUSE_MS = 500;

// What the data thread keeps across messages and connections. Large (the point buffer): one per
// thread, on the heap.
struct DataChannelState {
  PoseHeader storedHeader{};  // zeroed: a point message before any header brings no points
  // Where a point block is read when it is not used in place in the read-ahead.
  unsigned char pointBuffer[MAX_BLOCK_POINTS * POINT_WIRE_SIZE] = {};
  // The connection's read-ahead (ConnectionReader): as much as the socket's receive buffer
  // holds, so that one receive brings whatever the console has sent.
  unsigned char readBuffer[256 * 1024] = {};
  PoseConversion conversion;
  // How long DATA_END holds the connection before it clears the flags. Fuzzing shortens it, so
  // that an input with DATA_END does not cost half a second.
  unsigned endPauseMs = DATA_END_PAUSE_MS;
};

// Serves one accepted connection until it ends (DATA_END, a FINAL type, a closed or failed read,
// a payload cut short), storing into the scanner object given by SetServedScanner. Blocks in the
// socket's reads and sends; the data thread, or one other thread at a time.
void ServeDataConnection(SocketHandle socket, DataChannelState& state);

// Gives the data channel the scanner object to store into; StopDataChannelThread takes it away
// again. StartDataChannelThread calls it for its thread. Host's thread.
void SetServedScanner(KvtScan3DLumora* scanner);

// Starts the thread for this scanner object unless g_serverThread is set, starting Windows
// Sockets first so the command channel can be used at once. False when the thread could not
// be started.
bool StartDataChannelThread(KvtScan3DLumora* scanner);

// Teardown: takes the scanner object away from the thread, makes the thread leave its accept
// wait and the connection it serves, and waits at most timeoutMs for its end. True when the
// thread has ended or was never started.
bool StopDataChannelThread(unsigned timeoutMs);

// The rest of the teardown: the thread has ended (or, where StopDataChannelThread's wait ran
// out, is ended by force: it never calls the host, so nothing can hold it there but the system)
// and its sockets are closed, so that port 2002 is free for the next load of the library in
// this process. Where a thread cannot be ended by force (POSIX) one that is still running is
// left to end on its own; it no longer touches the scanner object.
void FinishDataChannelThread();
