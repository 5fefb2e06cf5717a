// The data-channel server: one thread that accepts the console's data connection on port 2002
// and turns its messages into changes of the measurement store.
#pragma once

#include "datachannel/ConnectionReader.h"
#include "datachannel/PoseConversion.h"
#include "lifecycle/Lifecycle.h"
#include "platform/thread.h"
#include "wire/SocketRoutines.h"
#include "wire/WireRecords.h"

class MeasurementStore;

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

// Threads: Start from the connection sequence (the host's thread, or an acquisition thread's
// recovery); the data thread itself; Stop on the unloading thread. m_lock guards whether the
// channel stops and the thread's record, and is held whenever the data thread stores into the
// store, so that no store happens after the stop; the store's own lock is taken under it, the
// capture's (through the socket routines' tap) too. It is held for no wait and no print.
//
// The process-wide handles of the design keep their names: g_serverThread (under m_lock),
// g_listenSocket and g_acceptedSocket (written by the data thread, under m_lock where the
// stop's check matters; atomics, so that the stop can close them after the thread's end).
//
// What it never does: call the host, or hold its lock while it waits for the console.
class DataChannel {
 public:
  DataChannel(Lifecycle& lifecycle, MeasurementStore& store)
      : m_lifecycle(lifecycle), m_store(store) {}
  DataChannel(const DataChannel&) = delete;
  DataChannel& operator=(const DataChannel&) = delete;

  // Starts Windows Sockets for the process and the thread, once for the library's life: false
  // when the thread cannot be started (or the unload has begun). Any thread.
  [[nodiscard]] bool Start() KVT_EXCLUDES(m_lock);
  // Whether the thread has been started. Any thread.
  [[nodiscard]] bool Started() KVT_EXCLUDES(m_lock);
  // StartSockets: starts Windows Sockets 2.2 for the process, once for the library's life; prints
  // "WSAStartup failed [%d]\n" and returns false when it cannot be started. Any thread.
  [[nodiscard]] bool StartSockets() KVT_EXCLUDES(m_lock);

  // The stop: no store from now on; the thread leaves its accept, its connection and the pause
  // after DATA_END, and has ended (within its bound; at the unload where the platform can it is
  // ended by force past it: it never calls the host, so only the system can hold it), and its
  // sockets are closed, so that port 2002 is free for the next load in this process. At the end
  // of the process the system has ended the thread: nothing is waited for. The unloading thread,
  // once, after the link's stop (which waits for the console's end of scanning on this channel).
  void Stop(StopMode mode) KVT_EXCLUDES(m_lock);

  // Serves one accepted connection until it ends (DATA_END, a FINAL type, a closed or failed
  // read, a payload cut short), storing into the store until the stop. Blocks in the socket's
  // reads and sends; the data thread, or one other thread at a time (the fuzzer).
  void Serve(SocketHandle socket, DataChannelState& state) KVT_EXCLUDES(m_lock);

 private:
  static unsigned DataChannelThread(void* self);
  void ServeConnections() KVT_EXCLUDES(m_lock);
  // The stop has begun.
  [[nodiscard]] bool Stopping() KVT_EXCLUDES(m_lock);
  // Runs change(store) under the lock unless the stop has begun.
  template <typename Change>
  void WithStore(Change change) KVT_EXCLUDES(m_lock);
  [[nodiscard]] bool HandleMessage(SocketHandle socket, ConnectionReader& reader, std::int32_t type,
                                   DataChannelState& state) KVT_EXCLUDES(m_lock);
  // A button event: stored, acknowledged and answered; false when its payload did not come.
  bool HandleButton(SocketHandle socket, ConnectionReader& reader) KVT_EXCLUDES(m_lock);
  // Listens again, or adopts an accepted connection, unless the stop has begun: the check and the
  // act are one step, so a stop cannot slip in between and leave the thread waiting unwoken.
  [[nodiscard]] bool ListenUnlessStopping(SocketHandle listener) KVT_EXCLUDES(m_lock);
  [[nodiscard]] bool AdoptUnlessStopping(SocketHandle accepted) KVT_EXCLUDES(m_lock);
  // Closes the connection served; the close's messages are printed with no lock held.
  void ReleaseAccepted() KVT_EXCLUDES(m_lock);
  // The data thread's record (g_serverThread).
  LibraryThread*& ServerThreadLocked() KVT_REQUIRES(m_lock);

  Lifecycle& m_lifecycle;
  MeasurementStore& m_store;
  platform::Lock m_lock;
  bool m_stopping KVT_GUARDED_BY(m_lock) = false;
  bool m_socketsStarted KVT_GUARDED_BY(m_lock) = false;
};
