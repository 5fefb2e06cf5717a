// The socket routines both channels share.
#include "wire/SocketRoutines.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/output.h"

namespace {

// Null while nothing watches: then a call costs one relaxed load more than the socket call.
std::atomic<const SocketTap*> g_tap{nullptr};

const SocketTap* Tap() { return g_tap.load(std::memory_order_acquire); }

std::atomic<const SocketMessageTaker*> g_messageTaker{nullptr};

// Messages go to the host process's standard output at once. A message that the output cannot
// take at once (a pipe that nobody reads) is left out and counted, never waited for: the
// routines run under the command channel's lock, and on the threads the unload collects.
__attribute__((format(printf, 1, 0))) void PrintLine(const char* format, va_list arguments) {
  char line[256];
  std::vsnprintf(line, sizeof line, format, arguments);
  if (const SocketMessageTaker* taker = g_messageTaker.load(std::memory_order_acquire)) {
    taker->take(taker->context, line);
    return;
  }
  static_cast<void>(
      platform::standardWrite(platform::StandardStream::kOutput, line, std::strlen(line)));
}

__attribute__((format(printf, 1, 2))) void Print(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  PrintLine(format, arguments);
  va_end(arguments);
}

unsigned LastError() { return static_cast<unsigned>(platform::socketLastError()); }

bool FailAfterClose(SocketHandle& socketVariable, const char* message) {
  platform::socketClose(socketVariable);
  socketVariable = platform::kInvalidSocket;
  Print(message, LastError());
  return false;
}

// The whole-buffer loop of both directions: pieces of at most pieceMax bytes, each moved by
// move(offset, size), which returns what its one socket call returned.
template <typename Move>
bool MovePieces(int length, int pieceMax, int& count, Move move) {
  count = 0;
  while (count < length) {
    int piece = length - count < pieceMax ? length - count : pieceMax;
    int moved = move(count, piece);
    if (moved < 0) return false;
    if (moved == 0) return true;
    count += moved;
  }
  return true;
}

}  // namespace

bool TcpConnect(SocketHandle& socketVariable, const char* hostName, int port) {
  if (hostName == nullptr) {
    Print("Invalid parameter 'Host Name'\n");
    return false;
  }
  socketVariable = platform::socketOpenTcp();
  if (socketVariable == platform::kInvalidSocket) {
    Print("Cannot initialize socket [0x%08X]\n", LastError());
    return false;
  }
  if (!platform::socketSetOption(socketVariable, platform::SocketOption::SendBuffer, 8192) ||
      !platform::socketSetOption(socketVariable, platform::SocketOption::ReceiveBuffer, 8192) ||
      !platform::socketSetOption(socketVariable, platform::SocketOption::ReceiveTimeoutMs, 10000) ||
      !platform::socketSetOption(socketVariable, platform::SocketOption::NoDelay, 1)) {
    return FailAfterClose(socketVariable, "Cannot set socket options [0x%08X]\n");
  }
  char host[1024];
  std::strncpy(host, hostName, sizeof host - 1);
  host[sizeof host - 1] = '\0';
  std::uint32_t address = 0;
  if (!platform::socketParseDotted(host, &address) &&
      !platform::socketResolveName(host, &address)) {
    return FailAfterClose(socketVariable, "Cannot find host address [0x%08X]\n");
  }
  if (!platform::socketConnect(socketVariable, address, static_cast<std::uint16_t>(port))) {
    return FailAfterClose(socketVariable, "Cannot connect to host [0x%08X]\n");
  }
  if (const SocketTap* tap = Tap()) tap->opened(tap->context, socketVariable, true);
  return true;
}

SocketHandle TcpAccept(SocketHandle listener) {
  SocketHandle accepted = platform::socketAccept(listener);
  if (accepted == platform::kInvalidSocket) return accepted;
  if (const SocketTap* tap = Tap()) tap->opened(tap->context, accepted, false);
  return accepted;
}

bool TcpClose(SocketHandle socket) {
  if (const SocketTap* tap = Tap()) tap->closed(tap->context, socket);
  if (!platform::socketShutdownSend(socket)) {
    Print("Error shutting down socket [0x%08X]\n", LastError());
  }
  if (!platform::socketClose(socket)) {
    Print("Error closing socket [0x%08X]\n", LastError());
  }
  return true;
}

bool SendAll(SocketHandle socket, const void* buffer, int length, int& count) {
  const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
  return MovePieces(length, TRANSFER_PIECE, count, [&](int at, int piece) {
    int sent = platform::socketSend(socket, bytes + at, piece);
    if (const SocketTap* tap = Tap()) tap->sent(tap->context, socket, bytes + at, sent);
    return sent;
  });
}

bool ReceiveExactly(SocketHandle socket, void* buffer, int length, int& count) {
  unsigned char* bytes = static_cast<unsigned char*>(buffer);
  return MovePieces(length, TRANSFER_PIECE, count,
                    [&](int at, int piece) { return ReceiveSome(socket, bytes + at, piece); });
}

int ReceiveSome(SocketHandle socket, void* buffer, int length) {
  int received = platform::socketReceive(socket, buffer, length);
  if (const SocketTap* tap = Tap()) tap->received(tap->context, socket, buffer, received);
  if (received < 0) Print("error reading %d\n", platform::socketLastError());
  return received;
}

void PrintMessage(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  PrintLine(format, arguments);
  va_end(arguments);
}

void InstallSocketMessageTaker(const SocketMessageTaker* taker) {
  g_messageTaker.store(taker, std::memory_order_release);
}

void InstallSocketTap(const SocketTap* tap) { g_tap.store(tap, std::memory_order_release); }

bool PeerSendAll(SocketHandle socket, const void* buffer, int length, int& count, int pieceMax) {
  const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
  return MovePieces(length, pieceMax, count, [&](int at, int piece) {
    return platform::socketSend(socket, bytes + at, piece);
  });
}

bool PeerReceiveExactly(SocketHandle socket, void* buffer, int length, int& count) {
  unsigned char* bytes = static_cast<unsigned char*>(buffer);
  return MovePieces(length, TRANSFER_PIECE, count, [&](int at, int piece) {
    return platform::socketReceive(socket, bytes + at, piece);
  });
}
