// POSIX sockets behind the socket contract, with errno mapped onto Windows Sockets codes.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

// The calling thread's last socket error. In the static thread-local block that the C runtime keeps
// for libraries loaded later (a few bytes of it): a block of its own, made per thread on first use
// and left to the runtime after the unload, is what the sanitizer builds' leak checker misreads
// at the process's end once the library is gone.
thread_local int t_lastError __attribute__((tls_model("initial-exec"))) = 0;

int mapErrno(int error) {
  switch (error) {
    case 0:
      return 0;
    case EINTR:
      return kWsaInterrupted;
    case EBADF:
      return kWsaNotSocket;
    case EACCES:
    case EPERM:
      return kWsaAccessDenied;
    case EFAULT:
      return kWsaFault;
    case EINVAL:
      return kWsaInvalid;
    case EMFILE:
    case ENFILE:
      return kWsaTooManySockets;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      // A blocking socket only reports this when its receive time-out ran out.
      return kWsaTimedOut;
    case EINPROGRESS:
      return kWsaWouldBlock;
    case ENOTSOCK:
      return kWsaNotSocket;
    case EADDRINUSE:
      return kWsaAddressInUse;
    case ENETDOWN:
      return kWsaNetworkDown;
    case ENETUNREACH:
      return kWsaNetUnreachable;
    case ECONNABORTED:
      return kWsaConnAborted;
    case ECONNRESET:
    case EPIPE:
      return kWsaConnReset;
    case ENOBUFS:
    case ENOMEM:
      return kWsaNoBuffers;
    case ENOTCONN:
      return kWsaNotConnected;
    case ESHUTDOWN:
      return kWsaShutdown;
    case ETIMEDOUT:
      return kWsaTimedOut;
    case ECONNREFUSED:
      return kWsaConnRefused;
    case EHOSTUNREACH:
      return kWsaHostUnreachable;
    default:
      return kWsaInvalid;
  }
}

bool fail() {
  t_lastError = mapErrno(errno);
  return false;
}

int fd(SocketHandle socket) { return static_cast<int>(socket); }

sockaddr_in ipv4(std::uint32_t addressNet, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = addressNet;
  return address;
}

}  // namespace

bool socketsStart(int* error) {
  if (error != nullptr) *error = 0;
  return true;
}

int socketLastError() { return t_lastError; }

SocketHandle socketOpenTcp() {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    fail();
    return kInvalidSocket;
  }
  return s;
}

bool socketSetOption(SocketHandle socket, SocketOption option, int value) {
  int result = -1;
  switch (option) {
    case SocketOption::SendBuffer:
      result = ::setsockopt(fd(socket), SOL_SOCKET, SO_SNDBUF, &value, sizeof value);
      break;
    case SocketOption::ReceiveBuffer:
      result = ::setsockopt(fd(socket), SOL_SOCKET, SO_RCVBUF, &value, sizeof value);
      break;
    case SocketOption::ReceiveTimeoutMs: {
      timeval timeout{};
      timeout.tv_sec = value / 1000;
      timeout.tv_usec = (value % 1000) * 1000;
      result = ::setsockopt(fd(socket), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
      break;
    }
    case SocketOption::NoDelay:
      result = ::setsockopt(fd(socket), IPPROTO_TCP, TCP_NODELAY, &value, sizeof value);
      break;
    case SocketOption::NonBlocking: {
      int on = value != 0 ? 1 : 0;
      result = ::ioctl(fd(socket), FIONBIO, &on);
      break;
    }
  }
  return result == 0 || fail();
}

bool socketParseDotted(const char* text, std::uint32_t* addressNet) {
  in_addr address{};
  if (text == nullptr || ::inet_aton(text, &address) == 0) return false;
  *addressNet = address.s_addr;
  return true;
}

bool socketResolveName(const char* name, std::uint32_t* addressNet) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
    t_lastError = kWsaHostNotFound;
    return false;
  }
  *addressNet = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(found);
  return true;
}

bool socketConnect(SocketHandle socket, std::uint32_t addressNet, std::uint16_t port) {
  sockaddr_in address = ipv4(addressNet, port);
  int result;
  do {
    result = ::connect(fd(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  return result == 0 || fail();
}

bool socketBind(SocketHandle socket, std::uint32_t addressNet, std::uint16_t port) {
  // Windows binds a port whose earlier connections linger in TIME_WAIT; Linux needs
  // SO_REUSEADDR for that, which (unlike its Windows namesake) still refuses a second listener.
  int on = 1;
  ::setsockopt(fd(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address = ipv4(addressNet, port);
  return ::bind(fd(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
         fail();
}

bool socketPorts(SocketHandle socket, std::uint16_t* localPort, std::uint16_t* remotePort) {
  sockaddr_in local{};
  sockaddr_in remote{};
  socklen_t localLength = sizeof local;
  socklen_t remoteLength = sizeof remote;
  if (::getsockname(fd(socket), reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
      ::getpeername(fd(socket), reinterpret_cast<sockaddr*>(&remote), &remoteLength) != 0) {
    return false;
  }
  *localPort = ntohs(local.sin_port);
  *remotePort = ntohs(remote.sin_port);
  return true;
}

bool socketListen(SocketHandle socket, int backlog) {
  return ::listen(fd(socket), backlog) == 0 || fail();
}

SocketHandle socketAccept(SocketHandle listener) {
  int s;
  do {
    s = ::accept4(fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
  } while (s < 0 && errno == EINTR);
  if (s < 0) {
    fail();
    return kInvalidSocket;
  }
  return s;
}

int socketSend(SocketHandle socket, const void* data, int length) {
  ssize_t sent;
  do {
    sent = ::send(fd(socket), data, static_cast<size_t>(length), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    fail();
    return -1;
  }
  return static_cast<int>(sent);
}

int socketReceive(SocketHandle socket, void* data, int length) {
  ssize_t received;
  do {
    received = ::recv(fd(socket), data, static_cast<size_t>(length), 0);
  } while (received < 0 && errno == EINTR);
  if (received < 0) {
    fail();
    return -1;
  }
  return static_cast<int>(received);
}

bool socketShutdownSend(SocketHandle socket) {
  return ::shutdown(fd(socket), SHUT_WR) == 0 || fail();
}

void socketWake(SocketHandle socket) {
  // Shutting both directions down wakes accept() and recv() in other threads on Linux; close()
  // would not, and would free the number for reuse under them.
  ::shutdown(fd(socket), SHUT_RDWR);
}

bool socketClose(SocketHandle socket) { return ::close(fd(socket)) == 0 || fail(); }

}  // namespace platform
