// Sockets: the IPv4 TCP calls of both channels, reporting Windows Sockets error codes on every
// platform.
#pragma once

#include <cstdint>

namespace platform {

// A socket handle as the design stores it: -1 is the invalid socket on both platforms.
using SocketHandle = std::intptr_t;
constexpr SocketHandle kInvalidSocket = -1;

// Windows Sockets error codes. The POSIX layer maps errno onto them so that every message
// the plug-in prints reads the same on both platforms.
constexpr int kWsaInterrupted = 10004;      // WSAEINTR
constexpr int kWsaBadHandle = 10009;        // WSAEBADF
constexpr int kWsaAccessDenied = 10013;     // WSAEACCES
constexpr int kWsaFault = 10014;            // WSAEFAULT
constexpr int kWsaInvalid = 10022;          // WSAEINVAL
constexpr int kWsaTooManySockets = 10024;   // WSAEMFILE
constexpr int kWsaWouldBlock = 10035;       // WSAEWOULDBLOCK
constexpr int kWsaNotSocket = 10038;        // WSAENOTSOCK
constexpr int kWsaAddressInUse = 10048;     // WSAEADDRINUSE
constexpr int kWsaNetworkDown = 10050;      // WSAENETDOWN
constexpr int kWsaNetUnreachable = 10051;   // WSAENETUNREACH
constexpr int kWsaConnAborted = 10053;      // WSAECONNABORTED
constexpr int kWsaConnReset = 10054;        // WSAECONNRESET
constexpr int kWsaNoBuffers = 10055;        // WSAENOBUFS
constexpr int kWsaNotConnected = 10057;     // WSAENOTCONN
constexpr int kWsaShutdown = 10058;         // WSAESHUTDOWN
constexpr int kWsaTimedOut = 10060;         // WSAETIMEDOUT
constexpr int kWsaConnRefused = 10061;      // WSAECONNREFUSED
constexpr int kWsaHostUnreachable = 10065;  // WSAEHOSTUNREACH
constexpr int kWsaHostNotFound = 11001;     // WSAHOST_NOT_FOUND

// Starts Windows Sockets 2.2 for the process (POSIX: nothing to start). Returns false and
// leaves the system's code in *error on failure. Any thread; never blocks for long.
[[nodiscard]] bool socketsStart(int* error);

// The calling thread's last socket error, as a Windows Sockets code. Any thread.
[[nodiscard]] int socketLastError();

// A new IPv4 stream socket (AF_INET, SOCK_STREAM, protocol 0), blocking, not inheritable by
// child processes. kInvalidSocket on failure.
[[nodiscard]] SocketHandle socketOpenTcp();

enum class SocketOption {
  SendBuffer,        // SO_SNDBUF, bytes
  ReceiveBuffer,     // SO_RCVBUF, bytes
  ReceiveTimeoutMs,  // SO_RCVTIMEO, milliseconds; a receive that waits longer fails with
                     // kWsaTimedOut
  NoDelay,           // TCP_NODELAY, 0 or 1
  NonBlocking,       // FIONBIO, 0 or 1
};

// Sets one option; false on failure (the reason in socketLastError()).
[[nodiscard]] bool socketSetOption(SocketHandle socket, SocketOption option, int value);

// inet_addr: true and the address in network byte order when the text is a dotted IPv4
// address; never looks a name up.
[[nodiscard]] bool socketParseDotted(const char* text, std::uint32_t* addressNet);

// gethostbyname: the first IPv4 address of a host name, in network byte order. Blocks while
// the name is resolved; false when it cannot be.
[[nodiscard]] bool socketResolveName(const char* name, std::uint32_t* addressNet);

// Connect, bind and listen for the 16-byte IPv4 address given in network byte order. Each
// returns false on failure. Connect blocks until it is decided. Bind fails while another socket
// holds the port, but not for earlier connections that linger in TIME_WAIT (Windows behaviour).
[[nodiscard]] bool socketConnect(SocketHandle socket, std::uint32_t addressNet, std::uint16_t port);
[[nodiscard]] bool socketBind(SocketHandle socket, std::uint32_t addressNet, std::uint16_t port);

// A connect that the caller waits for itself, so that its thread can go on with other work (the
// host's messages) meanwhile. socketConnectStart begins it without waiting; socketConnectCheck
// looks, without waiting, at one that was left pending. kFailed gives the reason in
// socketLastError(). The socket is non-blocking while the connect is pending and blocking again
// once it is decided. Any thread.
enum class SocketConnect { kConnected, kPending, kFailed };
[[nodiscard]] SocketConnect socketConnectStart(SocketHandle socket, std::uint32_t addressNet,
                                               std::uint16_t port);
[[nodiscard]] SocketConnect socketConnectCheck(SocketHandle socket);
[[nodiscard]] bool socketListen(SocketHandle socket, int backlog);

// The local and the remote port of a connected socket, in host byte order. False when the
// socket has no connection. Any thread; never blocks.
[[nodiscard]] bool socketPorts(SocketHandle socket, std::uint16_t* localPort,
                               std::uint16_t* remotePort);

// Waits for one connection; kInvalidSocket when accepting fails (also after socketWake()).
[[nodiscard]] SocketHandle socketAccept(SocketHandle listener);

// One send or receive call of at most length bytes; returns the bytes moved, 0 when a receive
// finds the connection closed, -1 on error. Sends never raise SIGPIPE; on POSIX a call that a
// signal interrupts is retried. Blocks as the socket's options say.
[[nodiscard]] int socketSend(SocketHandle socket, const void* data, int length);
[[nodiscard]] int socketReceive(SocketHandle socket, void* data, int length);

// What already waits on a connection, looked at without waiting and without taking anything off
// it: nothing, bytes, the peer's close, or an error (a reset). Any thread; never blocks.
enum class SocketPending { kNothing, kBytes, kClosed, kError };
[[nodiscard]] SocketPending socketPending(SocketHandle socket);

// Shuts the sending direction down (SD_SEND). False on failure.
[[nodiscard]] bool socketShutdownSend(SocketHandle socket);

// Makes a call that another thread is blocked in on this socket (accept, receive, send) return
// with an error, and every later call fail at once. The handle stays valid: its owner still
// closes it, so it cannot be reused under that owner. Windows: the socket is made non-blocking,
// shut down and its pending calls cancelled (they fail with WSAEINTR, or 995 under Wine). Any
// thread.
void socketWake(SocketHandle socket);

// Releases the handle. False on failure.
bool socketClose(SocketHandle socket);

}  // namespace platform
