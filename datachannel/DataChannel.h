// The data-channel server: one thread that accepts the console's data connection on port 2002
// and turns its messages into changes of the measurement store.
#pragma once

#include "datachannel/PoseConversion.h"
#include "platform/thread.h"
#include "wire/SocketRoutines.h"
#include "wire/WireRecords.h"

class MeasurementStore;

// Guards the two sockets below and the store the thread serves. The thread holds it whenever it
// touches the store, so teardown can take the store away from it. Taken after the command
// channel's lock and g_serverThreadLock, before the store's own.
extern platform::Lock g_dataChannelLock;
platform::Lock& DataChannelLock() KVT_RETURN_CAPABILITY(g_dataChannelLock);

// The listening socket and the connection being served; -1 when there is none.
extern SocketHandle g_listenSocket KVT_GUARDED_BY(g_dataChannelLock);
extern SocketHandle g_acceptedSocket KVT_GUARDED_BY(g_dataChannelLock);

// Guards g_serverThread. The data thread never takes it, so a teardown that holds it can end the
// thread by force.
extern platform::Lock g_serverThreadLock KVT_ACQUIRED_BEFORE(g_dataChannelLock);
// The data-channel thread once started; it is never started again. Any thread, under the lock:
// the connection sequence that starts it may run on an acquisition thread.
extern platform::Thread* g_serverThread KVT_GUARDED_BY(g_serverThreadLock);

// Starts Windows Sockets 2.2 for the process once; prints "WSAStartup failed [%d]\n" and
// returns false when it cannot be started.
[[nodiscard]] bool StartSockets();

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
// a payload cut short), storing into the store given by SetServedStore. Blocks in the socket's
// reads and sends; the data thread, or one other thread at a time.
void ServeDataConnection(SocketHandle socket, DataChannelState& state);

// Gives the data channel the store to store into (null: none); StopDataChannelThread takes it
// away again. StartDataChannelThread does it for its thread. Any thread.
void SetServedStore(MeasurementStore* store);

// Whether the thread has been started in this process. Any thread.
[[nodiscard]] bool DataChannelThreadStarted();

// Starts the thread for this store unless it was started already, starting Windows Sockets
// first so the command channel can be used at once. False when the thread could not be started.
// Any thread.
[[nodiscard]] bool StartDataChannelThread(MeasurementStore* store);

// Teardown: takes the store away from the thread, makes the thread leave its accept wait, the
// connection it serves and the pause after DATA_END, and waits at most timeoutMs for its end.
// True when the thread has ended or was never started. When the process ends (processEnds) the
// system has ended the thread already: nothing is waited for, and no lock it may have held.
[[nodiscard]] bool StopDataChannelThread(unsigned timeoutMs, bool processEnds = false);

// The rest of the teardown: the thread has ended (or, where StopDataChannelThread's wait ran
// out, is ended by force: it never calls the host, so nothing can hold it there but the system)
// and its sockets are closed, so that port 2002 is free for the next load of the library in
// this process. Where a thread cannot be ended by force (POSIX) one that is still running is
// left to end on its own: it no longer touches the store, and the library stays mapped for it.
void FinishDataChannelThread(bool processEnds = false);
