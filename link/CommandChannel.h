// The command channel: the process-wide command connection, the lock that makes each command one
// step, and the rule for when a failed command may start the connection sequence again.
#pragma once

#include <atomic>
#include <cstdint>

#include "lifecycle/Lifecycle.h"
#include "platform/thread.h"
#include "wire/SocketRoutines.h"

// What became of one command. (clang-format 14 lays an enum with an attribute out as a list.)
// clang-format off
enum class [[nodiscard]] CommandOutcome {
  // The code went out (the argument after it, whose own result is never looked at), and the
  // reply, when one was asked for, came whole.
  kAnswered,
  // The code did not go out: no connection, or a send error. The connection is left as it was.
  kNotSent,
  // The code went out but its reply came short (the receive limit ran out, or the console hung
  // up half-way). What is missing may still come, and every later reply would then be read one
  // behind: the connection has been closed and the link marked down.
  kReplyShort,
};
// clang-format on

class CommandChannel {
 public:
  // connected is the link's state for the host (IsConnected): a reply that comes short clears it.
  // The lifecycle says when no connection may be opened any more.
  CommandChannel(std::atomic<std::int32_t>& connected, const Lifecycle& lifecycle)
      : m_connected(connected), m_lifecycle(lifecycle) {}
  CommandChannel(const CommandChannel&) = delete;
  CommandChannel& operator=(const CommandChannel&) = delete;

  // The lock that makes each command one step: held for each command's code, argument and
  // reply, and while the connection is opened or closed, so that no other thread can split a
  // command or close the socket under it. A caller holds it for several commands in a row that
  // must be one step for the other threads (the handshake's questions) and uses the Locked
  // operations meanwhile.
  platform::Lock& Lock() KVT_RETURN_CAPABILITY(m_lock) { return m_lock; }

  // Closes the connection there is, then connects to the console's command port, unless the
  // unload has begun or the host's disconnect has cancelled the sequence that opens it. False
  // when no connection was made.
  [[nodiscard]] bool OpenLocked() KVT_REQUIRES(m_lock) KVT_EXCLUDES(m_wakeLock);
  // Closes the connection; false when there was none.
  bool Close() KVT_EXCLUDES(m_lock);
  bool CloseLocked() KVT_REQUIRES(m_lock);
  [[nodiscard]] bool IsOpen() KVT_EXCLUDES(m_lock);
  [[nodiscard]] bool IsOpenLocked() KVT_REQUIRES(m_lock);

  // One command: the code, the argument when one is given and the code went out, then the reply
  // when replySize is not 0. received gets the reply's byte count.
  CommandOutcome Exchange(std::int32_t code, const std::int32_t* argument = nullptr,
                          void* reply = nullptr, int replySize = 0, int* received = nullptr)
      KVT_EXCLUDES(m_lock);
  CommandOutcome ExchangeLocked(std::int32_t code, const std::int32_t* argument = nullptr,
                                void* reply = nullptr, int replySize = 0, int* received = nullptr)
      KVT_REQUIRES(m_lock);
  // Reads a reply without sending anything first; the byte count received.
  [[nodiscard]] int Receive(void* reply, int replySize) KVT_EXCLUDES(m_lock);

  // Holds the one connection sequence (Connect's, or a recovery's) for its scope, when no other
  // runs on any thread.
  class Sequence {
   public:
    explicit Sequence(CommandChannel& channel)
        : m_channel(channel), m_owned(!channel.m_sequenceRunning.exchange(true)) {
      if (m_owned) m_channel.m_sequenceCancelled = false;
    }
    ~Sequence() {
      if (m_owned) m_channel.m_sequenceRunning = false;
    }
    Sequence(const Sequence&) = delete;
    Sequence& operator=(const Sequence&) = delete;
    bool Owned() const { return m_owned; }

   private:
    CommandChannel& m_channel;
    bool m_owned;
  };

  // The host's disconnect (Connect(0)) wins over a sequence running on another thread, or under
  // it in a message that the sequence's wait dispatched: from now on that sequence opens no
  // connection and gives up at its next look. Under the lock, so that an open that the sequence
  // is making either comes first (and the disconnect that follows closes it) or sees this.
  void CancelSequenceLocked() KVT_REQUIRES(m_lock) {
    m_sequenceCancelled = m_sequenceRunning.load();
  }
  // The running sequence has been cancelled, or the unload has begun: it gives up.
  [[nodiscard]] bool SequenceEnds() const {
    return m_sequenceCancelled.load() || m_lifecycle.Unloading();
  }

  // The unload's way in: when a command of another thread holds the channel while it waits for
  // the console (a reply, a handshake's four), that wait is cut short, so that the unload never
  // waits it out; the cut connection sends and receives nothing more. Nothing is cut when the
  // channel is free or freed within a moment. Returns at once.
  void CutWaitsForUnload() KVT_EXCLUDES(m_wakeLock);
  // Whether a failed command may run the connection sequence again now: not while one runs on
  // any thread (the failure is then that sequence's own, and ends it), and not once the unload
  // has begun (starting programs, showing a message box and connecting for a minute is no work
  // for the loader's unload notification).
  bool MayRecover() const { return !m_sequenceRunning && !m_lifecycle.Unloading(); }

 private:
  [[nodiscard]] int ReceiveLocked(void* reply, int replySize) KVT_REQUIRES(m_lock);
  // Closes the connection whose reply came short.
  void DropOutOfStepLocked() KVT_REQUIRES(m_lock);
  // The connection is about to close: nothing may wake its handle any more.
  void ForgetForWakeLocked() KVT_REQUIRES(m_lock) KVT_EXCLUDES(m_wakeLock);
  // The process-wide command connection (g_commandSocket), reached only under the lock.
  SocketHandle& SocketLocked() KVT_REQUIRES(m_lock);

  std::atomic<std::int32_t>& m_connected;
  const Lifecycle& m_lifecycle;
  platform::Lock m_lock;
  // The open connection's handle, for CutWaitsForUnload, which must not wait for the channel's
  // lock: set and cleared under both locks (the channel's first), read under m_wakeLock alone.
  platform::Lock m_wakeLock KVT_ACQUIRED_AFTER(m_lock);
  SocketHandle m_wakeSocket KVT_GUARDED_BY(m_wakeLock) = platform::kInvalidSocket;
  // Raised and lowered only by the Sequence that owns it, on whichever thread runs the sequence;
  // read by any thread's failed command (MayRecover).
  std::atomic<bool> m_sequenceRunning{false};
  // Raised by the host's disconnect under the lock while a sequence runs; lowered by the next
  // sequence's start. Read by the sequence (SequenceEnds, and the open under the lock).
  std::atomic<bool> m_sequenceCancelled{false};
};
