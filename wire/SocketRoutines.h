// The socket routines both channels share: connect, accept, close, and whole-buffer send and
// receive, with a tap that can watch every one of them; and the whole-buffer loops without the
// plug-in's messages, for its peer.
#pragma once

#include "platform/socket.h"

using platform::SocketHandle;

// Size of the pieces in which buffers are sent and received; it matches the socket buffers.
constexpr int TRANSFER_PIECE = 8192;

// Opens a client connection. The new socket is stored in socketVariable as soon as it exists
// and set back to -1 on every failure after that. Prints the failure to standard output.
//
// The routines' messages go to standard output without ever waiting for it (platform/output.h):
// one that a full pipe cannot take is left out and counted, so that the routines may run under a
// lock and on a thread the unload collects.
[[nodiscard]] bool TcpConnect(SocketHandle& socketVariable, const char* hostName, int port);

// Waits for one connection on listener; the connection, or kInvalidSocket when accepting fails
// (also once the listener has been woken or closed).
[[nodiscard]] SocketHandle TcpAccept(SocketHandle listener);

// Shuts the sending direction down and closes the socket; always true. Callers set their
// socket variable to -1 afterwards.
bool TcpClose(SocketHandle socket);

// Send or receive length bytes in pieces of at most TRANSFER_PIECE, leaving the number moved in
// count. True means no socket error occurred, not that everything moved: a peer that closes
// the connection leaves count below length.
[[nodiscard]] bool SendAll(SocketHandle socket, const void* buffer, int length, int& count);
[[nodiscard]] bool ReceiveExactly(SocketHandle socket, void* buffer, int length, int& count);

// One receive of at most length bytes: the bytes received, 0 when the peer has closed, -1 on a
// socket error (printed as "error reading %d").
[[nodiscard]] int ReceiveSome(SocketHandle socket, void* buffer, int length);

// Prints one of the plug-in's messages on the process's standard output, as the routines print
// their failures ("WSAStartup failed [%d]\n" for the socket layer's start). Any thread.
__attribute__((format(printf, 1, 2))) void PrintMessage(const char* format, ...);

// Watches the routines above, each call right after the socket call it records, on whichever
// thread made it: the connections they open (pluginConnected) or accept, the bytes each send and
// receive moved (a receive of 0 bytes is the peer's end), and each close. The functions may be
// called from several threads at once and must return quickly: they run inside the channels'
// own steps. Each is given the tap's context first.
struct SocketTap {
  void* context;
  void (*opened)(void* context, SocketHandle socket, bool pluginConnected);
  void (*sent)(void* context, SocketHandle socket, const void* data, int length);
  void (*received)(void* context, SocketHandle socket, const void* data, int length);
  void (*closed)(void* context, SocketHandle socket);
};

// Takes the routines' messages instead of standard output, for a tool that reports them in lines
// of its own (kvt-host doctor). take gets each message whole, on the thread that printed it.
struct SocketMessageTaker {
  void* context;
  void (*take)(void* context, const char* message);
};

// Installs the taker (null: messages go to standard output again). It must stay valid for as
// long as the routines may run.
void InstallSocketMessageTaker(const SocketMessageTaker* taker);

// Installs the tap (null: none). The tap must stay valid for as long as the routines may run,
// since a call that has just loaded it may still be using it after it was replaced.
void InstallSocketTap(const SocketTap* tap);

// The loops of SendAll and ReceiveExactly alone: the same results and count, but neither message
// nor capture. For the plug-in's peer when it shares the plug-in's process (the console
// simulator inside the wire tests): its traffic is not the plug-in's. Sends go in pieces of at
// most pieceMax bytes.
[[nodiscard]] bool PeerSendAll(SocketHandle socket, const void* buffer, int length, int& count,
                               int pieceMax = TRANSFER_PIECE);
[[nodiscard]] bool PeerReceiveExactly(SocketHandle socket, void* buffer, int length, int& count);
