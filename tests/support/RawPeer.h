// A bare TCP peer for wire tests: sends and reads raw little-endian words with bounded waits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Wait.h"
#include "platform/socket.h"
#include "wire/WireValues.h"

// The next connection on a non-blocking listener, made blocking (Windows hands the listener's
// mode on to the accepted socket); kInvalidSocket when none comes within timeoutMs.
inline platform::SocketHandle AcceptWithin(platform::SocketHandle listener, int timeoutMs) {
  platform::SocketHandle socket = platform::kInvalidSocket;
  if (!WaitUntil(
          [&] {
            socket = platform::socketAccept(listener);
            return socket != platform::kInvalidSocket;
          },
          timeoutMs, 10)) {
    return platform::kInvalidSocket;
  }
  static_cast<void>(platform::socketSetOption(socket, platform::SocketOption::NonBlocking, 0));
  return socket;
}

class RawPeer {
 public:
  RawPeer() = default;
  explicit RawPeer(platform::SocketHandle socket) : socket_(socket) { SetTimeout(5000); }
  ~RawPeer() { Close(); }
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;
  RawPeer(RawPeer&& other) noexcept : socket_(other.socket_) {
    other.socket_ = platform::kInvalidSocket;
  }

  // Connects to 127.0.0.1:port, retrying while nothing listens yet, for at most timeoutMs.
  bool Connect(std::uint16_t port, unsigned timeoutMs = 5000) {
    int started = 0;
    static_cast<void>(platform::socketsStart(&started));
    std::uint32_t loopback = 0;
    static_cast<void>(platform::socketParseDotted("127.0.0.1", &loopback));
    const bool connected = WaitUntil(
        [&] {
          socket_ = platform::socketOpenTcp();
          if (platform::socketConnect(socket_, loopback, port)) return true;
          platform::socketClose(socket_);
          socket_ = platform::kInvalidSocket;
          return false;
        },
        static_cast<int>(timeoutMs), 10);
    if (connected) SetTimeout(5000);
    return connected;
  }

  void SetTimeout(int ms) {
    static_cast<void>(
        platform::socketSetOption(socket_, platform::SocketOption::ReceiveTimeoutMs, ms));
  }

  bool Send(const void* data, int length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (length > 0) {
      int sent = platform::socketSend(socket_, bytes, length);
      if (sent <= 0) return false;
      bytes += sent;
      length -= sent;
    }
    return true;
  }
  bool Send(const std::vector<unsigned char>& bytes) {
    return Send(bytes.data(), static_cast<int>(bytes.size()));
  }
  bool SendInt32(std::int32_t value) {
    unsigned char bytes[4];
    PutInt32(bytes, value);
    return Send(bytes, 4);
  }

  // Reads exactly length bytes; an empty result when they do not all arrive in time.
  std::vector<unsigned char> Read(int length) {
    std::vector<unsigned char> bytes(length);
    int got = 0;
    while (got < length) {
      int n = platform::socketReceive(socket_, bytes.data() + got, length - got);
      if (n <= 0) return {};
      got += n;
    }
    return bytes;
  }
  // The next int32, or the given value when none arrives.
  std::int32_t ReadInt32(std::int32_t otherwise = INT32_MIN) {
    std::vector<unsigned char> bytes = Read(4);
    return bytes.size() == 4 ? GetInt32(bytes.data()) : otherwise;
  }
  // True when the peer has closed the connection (a read finds its end) within the time-out.
  bool ClosedByPeer() {
    unsigned char byte;
    return platform::socketReceive(socket_, &byte, 1) == 0;
  }

  void Close() {
    if (socket_ != platform::kInvalidSocket) platform::socketClose(socket_);
    socket_ = platform::kInvalidSocket;
  }
  platform::SocketHandle socket() const { return socket_; }
  // Gives the socket up to the caller, who closes it.
  platform::SocketHandle Release() {
    platform::SocketHandle socket = socket_;
    socket_ = platform::kInvalidSocket;
    return socket;
  }

 private:
  platform::SocketHandle socket_ = platform::kInvalidSocket;
};
