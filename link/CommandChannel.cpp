// The command channel: the scanner object's command senders and their failure actions.
#include "link/CommandChannel.h"

#include "link/CommandCodes.h"
#include "link/KvtScan3DLumora.h"
#include "link/WireValues.h"

SocketHandle g_commandSocket = platform::kInvalidSocket;

platform::StaticRecursiveLock g_commandChannelLock;

platform::StaticRecursiveLock& CommandChannelLock() { return g_commandChannelLock; }

bool KvtScan3DLumora::ExchangeCommand(std::int32_t code, const std::int32_t* argument, void* reply,
                                      int replySize, int* received) {
  platform::LockGuard guard(CommandChannelLock());
  unsigned char bytes[4];
  int count = 0;
  PutInt32(bytes, code);
  bool sent = SendAll(g_commandSocket, bytes, sizeof bytes, count);
  if (sent && argument != nullptr) {
    // The argument's own result is never looked at: the console notices a lost argument.
    PutInt32(bytes, *argument);
    SendAll(g_commandSocket, bytes, sizeof bytes, count);
  }
  if (sent && reply != nullptr) {
    int count = 0;
    ReceiveReply(reply, replySize, &count);
    if (received != nullptr) *received = count;
    if (count < replySize) DropOutOfStepConnection();
  }
  return sent;
}

void KvtScan3DLumora::DropOutOfStepConnection() {
  platform::LockGuard guard(CommandChannelLock());
  if (g_commandSocket == platform::kInvalidSocket) return;
  // What is missing of the reply may still come, and every later reply would then be read one
  // behind. The link is down for the host (IsConnected) until it connects again; a command
  // sent before that takes its failure path.
  TcpClose(g_commandSocket);
  g_commandSocket = platform::kInvalidSocket;
  m_connected = 0;
}

void KvtScan3DLumora::ReceiveReply(void* reply, int replySize, int* received) {
  platform::LockGuard guard(CommandChannelLock());
  int count = 0;
  ReceiveExactly(g_commandSocket, reply, replySize, count);
  if (received != nullptr) *received = count;
}

void KvtScan3DLumora::SendWithRecovery(std::int32_t code) {
  if (!ExchangeCommand(code, nullptr, nullptr, 0, nullptr)) ReconnectAfterFailure();
}

void KvtScan3DLumora::SendIgnoringFailure(std::int32_t code) {
  ExchangeCommand(code, nullptr, nullptr, 0, nullptr);
}

void KvtScan3DLumora::SendWithArgument(std::int32_t code, std::int32_t argument) {
  if (!ExchangeCommand(code, &argument, nullptr, 0, nullptr)) ReconnectAfterFailure();
}

void KvtScan3DLumora::SendModelStart() { SendWithArgument(CMD_MODEL_START, m_startMode); }

void KvtScan3DLumora::SendStopSequence() {
  SendIgnoringFailure(CMD_STATUS_HIDE);
  SendIgnoringFailure(CMD_TOOLBAR_HIDE);
}

bool KvtScan3DLumora::CommandChannelOpen() {
  platform::LockGuard guard(CommandChannelLock());
  return g_commandSocket != platform::kInvalidSocket;
}
