// The data connection's read-ahead buffer.
#include "datachannel/ConnectionReader.h"

#include <cstring>

ConnectionReader::ConnectionReader(SocketHandle socket, unsigned char* buffer, int capacity)
    : socket_(socket), buffer_(buffer), capacity_(capacity) {}

bool ConnectionReader::Read(void* out, int length) {
  unsigned char* bytes = static_cast<unsigned char*>(out);
  while (length > 0) {
    if (begin_ == end_) {
      begin_ = end_ = 0;
      // A request as long as the buffer goes straight to its destination: copying it through
      // the buffer would only add a pass over the bytes.
      if (length >= capacity_) {
        int received = Receive(bytes, length);
        if (received == 0) return false;
        bytes += received;
        length -= received;
        continue;
      }
      end_ = Receive(buffer_, capacity_);
      if (end_ == 0) return false;
    }
    int piece = end_ - begin_ < length ? end_ - begin_ : length;
    std::memcpy(bytes, buffer_ + begin_, static_cast<std::size_t>(piece));
    begin_ += piece;
    bytes += piece;
    length -= piece;
  }
  return true;
}

const unsigned char* ConnectionReader::Take(int length, unsigned char* spare) {
  if (length > capacity_) return Read(spare, length) ? spare : nullptr;
  if (end_ - begin_ < length && !Gather(length)) {
    // What came before the end, for a caller that looks at a message cut short.
    std::memcpy(spare, buffer_ + begin_, static_cast<std::size_t>(end_ - begin_));
    begin_ = end_;
    return nullptr;
  }
  const unsigned char* taken = buffer_ + begin_;
  begin_ += length;
  return taken;
}

bool ConnectionReader::Gather(int length) {
  const int unread = end_ - begin_;
  if (begin_ + length > capacity_) {
    std::memmove(buffer_, buffer_ + begin_, static_cast<std::size_t>(unread));
    begin_ = 0;
    end_ = unread;
  }
  while (end_ - begin_ < length) {
    int received = Receive(buffer_ + end_, capacity_ - end_);
    if (received == 0) return false;
    end_ += received;
  }
  return true;
}

int ConnectionReader::Receive(unsigned char* into, int length) {
  int received = ReceiveSome(socket_, into, length);
  return received > 0 ? received : 0;
}
