// The command channel: one command at a time on the process-wide command connection.
#include "link/CommandChannel.h"

#include "platform/time.h"
#include "platform/wait.h"
#include "wire/CommandCodes.h"
#include "wire/WireValues.h"

SocketHandle g_commandSocket = platform::kInvalidSocket;

platform::StaticRecursiveLock g_commandChannelLock;

platform::StaticRecursiveLock& CommandChannel::Lock() { return g_commandChannelLock; }

namespace {
// How long the unload waits for a command of another thread that is only sending, before it cuts
// the wait of one that waits for the console.
constexpr std::uint32_t kUnloadLockWaitMs = 50;
constexpr unsigned kUnloadLockPollMs = 1;
}  // namespace

bool CommandChannel::Open() {
  DeferredPrints prints;
  platform::LockGuard guard(Lock());
  static_cast<void>(Close());
  if (!TcpConnect(g_commandSocket, COMMAND_HOST, COMMAND_PORT)) return false;
  platform::LockGuard wake(m_wakeLock);
  m_wakeSocket = g_commandSocket;
  return true;
}

bool CommandChannel::Close() {
  DeferredPrints prints;
  platform::LockGuard guard(Lock());
  if (g_commandSocket == platform::kInvalidSocket) return false;
  ForgetForWake();
  TcpClose(g_commandSocket);
  g_commandSocket = platform::kInvalidSocket;
  return true;
}

bool CommandChannel::IsOpen() {
  platform::LockGuard guard(Lock());
  return g_commandSocket != platform::kInvalidSocket;
}

void CommandChannel::ForgetForWake() {
  platform::LockGuard wake(m_wakeLock);
  m_wakeSocket = platform::kInvalidSocket;
}

void CommandChannel::CutWaitsForUnload() {
  const bool free = platform::WaitUntil(platform::Deadline(kUnloadLockWaitMs),
                                        platform::WaitPause::kSleep, kUnloadLockPollMs, [] {
                                          if (!Lock().tryLock()) return false;
                                          Lock().unlock();
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
  DeferredPrints prints;
  platform::LockGuard guard(Lock());
  unsigned char bytes[4];
  int count = 0;
  PutInt32(bytes, code);
  if (!SendAll(g_commandSocket, bytes, sizeof bytes, count)) return CommandOutcome::kNotSent;
  if (argument != nullptr) {
    PutInt32(bytes, *argument);
    // The argument's own send is not looked at: a broken connection fails the next command.
    static_cast<void>(SendAll(g_commandSocket, bytes, sizeof bytes, count));
  }
  if (replySize == 0) return CommandOutcome::kAnswered;
  int got = Receive(reply, replySize);
  if (received != nullptr) *received = got;
  if (got == replySize) return CommandOutcome::kAnswered;
  DropOutOfStep();
  return CommandOutcome::kReplyShort;
}

int CommandChannel::Receive(void* reply, int replySize) {
  DeferredPrints prints;
  platform::LockGuard guard(Lock());
  int count = 0;
  // An error has been printed; what counts for the caller is how much of the reply came.
  static_cast<void>(ReceiveExactly(g_commandSocket, reply, replySize, count));
  return count;
}

void CommandChannel::DropOutOfStep() {
  if (g_commandSocket == platform::kInvalidSocket) return;
  ForgetForWake();
  TcpClose(g_commandSocket);
  g_commandSocket = platform::kInvalidSocket;
  // Down for the host until it connects again; a command sent before that takes its failure
  // path.
  m_connected = 0;
}
