// The data connection's read-ahead: one receive brings whatever the console has sent, and the
// messages are parsed from that buffer instead of one small receive per field.
#pragma once

#include "wire/SocketRoutines.h"

class ConnectionReader {
 public:
  // Reads socket into buffer (capacity bytes, owned by the caller, kept for the reader's life).
  ConnectionReader(SocketHandle socket, unsigned char* buffer, int capacity);

  // Fills out with the next length bytes of the stream. False when the connection closed or
  // failed first ("error reading %d" is printed for a failure, as every receive of the plug-in
  // does); the bytes that came before the end are then in out. Blocks in the socket's receive
  // only when the buffer holds less than length bytes.
  [[nodiscard]] bool Read(void* out, int length);

  // The next length bytes of the stream, where they lie in the buffer when they fit in it (no
  // copy), else read into spare. Null when the connection closed or failed first; the bytes
  // before the end are then in spare. The pointer is good until the next call.
  [[nodiscard]] const unsigned char* Take(int length, unsigned char* spare);

 private:
  // One receive into buffer, or into out when the request is at least a whole buffer long;
  // the bytes it brought, 0 at the end of the stream or after an error.
  [[nodiscard]] int Receive(unsigned char* into, int length);
  // Moves what is unread to the front and receives until at least length bytes are unread.
  [[nodiscard]] bool Gather(int length);

  SocketHandle socket_;
  unsigned char* buffer_;
  int capacity_;
  int begin_ = 0;  // the next unread byte
  int end_ = 0;    // one past the last received byte
};
