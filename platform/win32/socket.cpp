// Windows Sockets 2 implementation of the socket calls.
#include "platform/socket.h"

#include <winsock2.h>  // includes windows.h itself

#include <cstring>

namespace platform {

namespace {

SOCKET toSocket(SocketHandle socket) { return static_cast<SOCKET>(socket); }

SocketHandle fromSocket(SOCKET socket) {
  return socket == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(socket);
}

// A failure here is left alone: it only happens with layered providers whose sockets are not
// kernel handles, and such a socket still works.
void keepFromChildren(SOCKET socket) {
  SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
}

sockaddr_in ipv4Address(std::uint32_t addressNet, std::uint16_t port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = addressNet;
  address.sin_port = htons(port);
  return address;
}

}  // namespace

bool socketsStart(int* error) {
  WSADATA data;
  int result = WSAStartup(MAKEWORD(2, 2), &data);
  if (error) *error = result;
  return result == 0;
}

int socketLastError() { return WSAGetLastError(); }

SocketHandle socketOpenTcp() {
  SOCKET socket = ::socket(AF_INET, SOCK_STREAM, 0);
  if (socket != INVALID_SOCKET) keepFromChildren(socket);
  return fromSocket(socket);
}

bool socketSetOption(SocketHandle socket, SocketOption option, int value) {
  SOCKET s = toSocket(socket);
  switch (option) {
    case SocketOption::SendBuffer:
      return setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&value),
                        sizeof value) == 0;
    case SocketOption::ReceiveBuffer:
      return setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&value),
                        sizeof value) == 0;
    case SocketOption::ReceiveTimeoutMs: {
      DWORD milliseconds = static_cast<DWORD>(value);
      return setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&milliseconds),
                        sizeof milliseconds) == 0;
    }
    case SocketOption::NoDelay: {
      BOOL on = value != 0;
      return setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                        sizeof on) == 0;
    }
    case SocketOption::NonBlocking: {
      u_long on = value != 0;
      return ioctlsocket(s, FIONBIO, &on) == 0;
    }
  }
  WSASetLastError(WSAEINVAL);
  return false;
}

bool socketParseDotted(const char* text, std::uint32_t* addressNet) {
  unsigned long address = inet_addr(text);
  if (address == INADDR_NONE) return false;
  *addressNet = static_cast<std::uint32_t>(address);
  return true;
}

bool socketResolveName(const char* name, std::uint32_t* addressNet) {
  hostent* host = gethostbyname(name);
  if (!host || host->h_addrtype != AF_INET || host->h_length != 4 || !host->h_addr_list[0]) {
    return false;
  }
  std::memcpy(addressNet, host->h_addr_list[0], 4);
  return true;
}

bool socketConnect(SocketHandle socket, std::uint32_t addressNet, std::uint16_t port) {
  sockaddr_in address = ipv4Address(addressNet, port);
  return connect(toSocket(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
         0;
}

namespace {
// Blocking again once a connect is decided; the connect's own error is kept for the caller.
SocketConnect decided(SOCKET s, SocketConnect result) {
  const int kept = WSAGetLastError();
  u_long off = 0;
  ioctlsocket(s, FIONBIO, &off);
  WSASetLastError(kept);
  return result;
}
}  // namespace

SocketConnect socketConnectStart(SocketHandle socket, std::uint32_t addressNet,
                                 std::uint16_t port) {
  SOCKET s = toSocket(socket);
  u_long on = 1;
  if (ioctlsocket(s, FIONBIO, &on) != 0) return SocketConnect::kFailed;
  sockaddr_in address = ipv4Address(addressNet, port);
  if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return decided(s, SocketConnect::kConnected);
  }
  if (WSAGetLastError() == WSAEWOULDBLOCK) return SocketConnect::kPending;
  return decided(s, SocketConnect::kFailed);
}

// A connect that failed shows in the exception set, one that succeeded in the write set.
SocketConnect socketConnectCheck(SocketHandle socket) {
  SOCKET s = toSocket(socket);
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval noWait{0, 0};
  const int ready = select(0, nullptr, &writable, &failed, &noWait);
  if (ready == SOCKET_ERROR) return decided(s, SocketConnect::kFailed);
  if (ready == 0) return SocketConnect::kPending;
  if (FD_ISSET(s, &failed)) {
    int error = 0;
    int length = sizeof error;
    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
    WSASetLastError(error != 0 ? error : WSAECONNREFUSED);
    return decided(s, SocketConnect::kFailed);
  }
  return decided(s, SocketConnect::kConnected);
}

bool socketBind(SocketHandle socket, std::uint32_t addressNet, std::uint16_t port) {
  sockaddr_in address = ipv4Address(addressNet, port);
  return bind(toSocket(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool socketPorts(SocketHandle socket, std::uint16_t* localPort, std::uint16_t* remotePort) {
  sockaddr_in local{};
  sockaddr_in remote{};
  int localLength = sizeof local;
  int remoteLength = sizeof remote;
  if (getsockname(toSocket(socket), reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
      getpeername(toSocket(socket), reinterpret_cast<sockaddr*>(&remote), &remoteLength) != 0) {
    return false;
  }
  *localPort = ntohs(local.sin_port);
  *remotePort = ntohs(remote.sin_port);
  return true;
}

bool socketListen(SocketHandle socket, int backlog) {
  return listen(toSocket(socket), backlog) == 0;
}

SocketHandle socketAccept(SocketHandle listener) {
  SOCKET socket = accept(toSocket(listener), nullptr, nullptr);
  if (socket != INVALID_SOCKET) keepFromChildren(socket);
  return fromSocket(socket);
}

// WSAEINTR is not retried: it is how a call cancelled by socketWake() ends on Windows.
int socketSend(SocketHandle socket, const void* data, int length) {
  int sent = send(toSocket(socket), static_cast<const char*>(data), length, 0);
  return sent == SOCKET_ERROR ? -1 : sent;
}

int socketReceive(SocketHandle socket, void* data, int length) {
  int received = recv(toSocket(socket), static_cast<char*>(data), length, 0);
  return received == SOCKET_ERROR ? -1 : received;
}

// Windows has no non-blocking flag per call: a select() that does not wait says whether a receive
// would return at once, and only then does the peek look.
SocketPending socketPending(SocketHandle socket) {
  SOCKET s = toSocket(socket);
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval noWait{0, 0};
  int ready = select(0, &readable, nullptr, nullptr, &noWait);
  if (ready == SOCKET_ERROR) return SocketPending::kError;
  if (ready == 0) return SocketPending::kNothing;
  char byte = 0;
  int peeked = recv(s, &byte, 1, MSG_PEEK);
  if (peeked > 0) return SocketPending::kBytes;
  return peeked == 0 ? SocketPending::kClosed : SocketPending::kError;
}

bool socketShutdownSend(SocketHandle socket) { return shutdown(toSocket(socket), SD_SEND) == 0; }

// shutdown() wakes neither a blocked accept() nor (under Wine) a blocked recv(); cancelling
// the socket's pending I/O from this thread does, and the call fails with WSAEINTR (Windows)
// or WSA_OPERATION_ABORTED (Wine). Non-blocking mode is set first so that a call entered just
// after the cancel fails at once instead of blocking; shutdown makes later receives and sends
// fail with WSAESHUTDOWN and tells the peer.
void socketWake(SocketHandle socket) {
  SOCKET s = toSocket(socket);
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
  shutdown(s, SD_BOTH);
  CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr);
}

bool socketClose(SocketHandle socket) { return closesocket(toSocket(socket)) == 0; }

}  // namespace platform
