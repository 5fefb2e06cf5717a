// The command channel and the scanner object's command senders with their failure actions.
#include "link/CommandChannel.h"

#include "link/KvtScan3DLumora.h"
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
    SendAll(g_commandSocket, bytes, sizeof bytes, count);
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
  ReceiveExactly(g_commandSocket, reply, replySize, count);
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

void KvtScan3DLumora::SendWithRecovery(std::int32_t code) {
  if (m_commands.Exchange(code) == CommandOutcome::kNotSent) ReconnectAfterFailure();
}

void KvtScan3DLumora::SendIgnoringFailure(std::int32_t code) { m_commands.Exchange(code); }

void KvtScan3DLumora::SendWithArgument(std::int32_t code, std::int32_t argument) {
  if (m_commands.Exchange(code, &argument) == CommandOutcome::kNotSent) ReconnectAfterFailure();
}

void KvtScan3DLumora::SendModelStart() { SendWithArgument(CMD_MODEL_START, m_startMode); }

void KvtScan3DLumora::SendStopSequence() {
  SendIgnoringFailure(CMD_STATUS_HIDE);
  SendIgnoringFailure(CMD_TOOLBAR_HIDE);
}
