// The command channel: one command at a time on the process-wide command connection.
#include "link/CommandChannel.h"

#include "platform/time.h"
#include "platform/wait.h"
#include "wire/CommandCodes.h"
#include "wire/WireValues.h"

namespace {
// The command connection to the console; -1 when there is none. Only the channel touches it,
// under its lock (SocketLocked).
SocketHandle g_commandSocket = platform::kInvalidSocket;

// How long the unload waits for a command of another thread that is only sending, before it cuts
// the wait of one that waits for the console.
constexpr std::uint32_t kUnloadLockWaitMs = 50;
constexpr unsigned kUnloadLockPollMs = 1;
}  // namespace

SocketHandle& CommandChannel::SocketLocked() { return g_commandSocket; }

bool CommandChannel::OpenLocked() {
  static_cast<void>(CloseLocked());
  // The check and the open are one step for the unload and for the host's disconnect, both of
  // which close what is open under this lock once they have said so: an open that began before
  // them is closed by them, one that begins after sees it.
  if (SequenceEnds()) return false;
  if (!TcpConnect(SocketLocked(), COMMAND_HOST, COMMAND_PORT)) return false;
  {
    platform::LockGuard wake(m_wakeLock);
    m_wakeSocket = SocketLocked();
  }
  // The unload's cut looks for the handle after it has said so, and this looks again after the
  // handle is there: a connect that the cut missed is not used.
  if (!SequenceEnds()) return true;
  static_cast<void>(CloseLocked());
  return false;
}

bool CommandChannel::Close() {
  platform::LockGuard guard(m_lock);
  return CloseLocked();
}

bool CommandChannel::CloseLocked() {
  if (SocketLocked() == platform::kInvalidSocket) return false;
  ForgetForWakeLocked();
  TcpClose(SocketLocked());
  SocketLocked() = platform::kInvalidSocket;
  return true;
}

bool CommandChannel::IsOpen() {
  platform::LockGuard guard(m_lock);
  return IsOpenLocked();
}

bool CommandChannel::IsOpenLocked() { return SocketLocked() != platform::kInvalidSocket; }

void CommandChannel::ForgetForWakeLocked() {
  platform::LockGuard wake(m_wakeLock);
  m_wakeSocket = platform::kInvalidSocket;
}

void CommandChannel::CutWaitsForUnload() {
  const bool free =
      Lifecycle::WaitRegardless(platform::Deadline(kUnloadLockWaitMs), kUnloadLockPollMs, [this] {
        if (!m_lock.tryLock()) return false;
        m_lock.unlock();
        return true;
      });
  if (free) return;
  // The socket stays open until its owner closes it, so that no other connection can take its
  // handle in between.
  platform::LockGuard wake(m_wakeLock);
  if (m_wakeSocket != platform::kInvalidSocket) platform::socketWake(m_wakeSocket);
}

CommandOutcome CommandChannel::Exchange(std::int32_t code, const std::int32_t* argument,
                                        void* reply, int replySize, int* received) {
  platform::LockGuard guard(m_lock);
  return ExchangeLocked(code, argument, reply, replySize, received);
}

CommandOutcome CommandChannel::ExchangeLocked(std::int32_t code, const std::int32_t* argument,
                                              void* reply, int replySize, int* received) {
  unsigned char bytes[4];
  int count = 0;
  PutInt32(bytes, code);
  if (!SendAll(SocketLocked(), bytes, sizeof bytes, count)) return CommandOutcome::kNotSent;
  if (argument != nullptr) {
    PutInt32(bytes, *argument);
    // The argument's own send is not looked at: a broken connection fails the next command.
    static_cast<void>(SendAll(SocketLocked(), bytes, sizeof bytes, count));
  }
  if (replySize == 0) return CommandOutcome::kAnswered;
  int got = ReceiveLocked(reply, replySize);
  if (received != nullptr) *received = got;
  if (got == replySize) return CommandOutcome::kAnswered;
  DropOutOfStepLocked();
  return CommandOutcome::kReplyShort;
}

int CommandChannel::Receive(void* reply, int replySize) {
  platform::LockGuard guard(m_lock);
  return ReceiveLocked(reply, replySize);
}

int CommandChannel::ReceiveLocked(void* reply, int replySize) {
  int count = 0;
  // An error has been printed; what counts for the caller is how much of the reply came.
  static_cast<void>(ReceiveExactly(SocketLocked(), reply, replySize, count));
  return count;
}

void CommandChannel::DropOutOfStepLocked() {
  if (SocketLocked() == platform::kInvalidSocket) return;
  ForgetForWakeLocked();
  TcpClose(SocketLocked());
  SocketLocked() = platform::kInvalidSocket;
  // Down for the host until it connects again; a command sent before that takes its failure
  // path.
  m_connected = 0;
}
