// The command channel: one command at a time on the process-wide command connection.
#include "link/CommandChannel.h"

#include "wire/CommandCodes.h"
#include "wire/WireValues.h"

SocketHandle g_commandSocket = platform::kInvalidSocket;

platform::StaticRecursiveLock g_commandChannelLock;

platform::StaticRecursiveLock& CommandChannel::Lock() { return g_commandChannelLock; }

bool CommandChannel::Open() {
  platform::LockGuard guard(Lock());
  Close();
  return TcpConnect(g_commandSocket, COMMAND_HOST, COMMAND_PORT);
}

bool CommandChannel::Close() {
  platform::LockGuard guard(Lock());
  if (g_commandSocket == platform::kInvalidSocket) return false;
  TcpClose(g_commandSocket);
  g_commandSocket = platform::kInvalidSocket;
  return true;
}

bool CommandChannel::IsOpen() {
  platform::LockGuard guard(Lock());
  return g_commandSocket != platform::kInvalidSocket;
}

CommandOutcome CommandChannel::Exchange(std::int32_t code, const std::int32_t* argument,
                                        void* reply, int replySize, int* received) {
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
  platform::LockGuard guard(Lock());
  int count = 0;
  // An error has been printed; what counts for the caller is how much of the reply came.
  static_cast<void>(ReceiveExactly(g_commandSocket, reply, replySize, count));
  return count;
}

void CommandChannel::DropOutOfStep() {
  if (g_commandSocket == platform::kInvalidSocket) return;
  TcpClose(g_commandSocket);
  g_commandSocket = platform::kInvalidSocket;
  // Down for the host until it connects again; a command sent before that takes its failure
  // path.
  m_connected = 0;
}
