// The socket routines both channels share: connect, close, and whole-buffer send and receive;
// and the whole-buffer loops without the plug-in's messages, for its peer.
#pragma once

#include "platform/socket.h"

using platform::SocketHandle;

// Size of the pieces in which buffers are sent and received; it matches the socket buffers.
constexpr int TRANSFER_PIECE = 8192;

// Opens a client connection. The new socket is stored in socketVariable as soon as it exists
// and set back to -1 on every failure after that. Prints the failure to standard output.
bool TcpConnect(SocketHandle& socketVariable, const char* hostName, int port);

// Shuts the sending direction down and closes the socket; always true. Callers set their
// socket variable to -1 afterwards.
bool TcpClose(SocketHandle socket);

// Send or receive length bytes in pieces of at most TRANSFER_PIECE, leaving the number moved in
// count. True means no socket error occurred, not that everything moved: a peer that closes
// the connection leaves count below length.
bool SendAll(SocketHandle socket, const void* buffer, int length, int& count);
bool ReceiveExactly(SocketHandle socket, void* buffer, int length, int& count);

// One receive of at most length bytes: the bytes received, 0 when the peer has closed, -1 on a
// socket error (printed as "error reading %d").
int ReceiveSome(SocketHandle socket, void* buffer, int length);

// The loops of SendAll and ReceiveExactly alone: the same results and count, but neither message
// nor capture. For the plug-in's peer when it shares the plug-in's process (the console
// simulator inside the wire tests): its traffic is not the plug-in's. Sends go in pieces of at
// most pieceMax bytes.
bool PeerSendAll(SocketHandle socket, const void* buffer, int length, int& count,
                 int pieceMax = TRANSFER_PIECE);
bool PeerReceiveExactly(SocketHandle socket, void* buffer, int length, int& count);
