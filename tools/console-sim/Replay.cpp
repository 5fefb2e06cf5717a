// Replay of a capture against the plug-in.
#include "tools/console-sim/Replay.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "capture/Pcapng.h"
#include "platform/socket.h"
#include "platform/time.h"
#include "wire/SocketRoutines.h"
#include "wire/WireRecords.h"

namespace {

constexpr std::uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order

std::string Hex(const std::vector<unsigned char>& bytes, std::size_t from, std::size_t count) {
  std::string text;
  char two[4];
  for (std::size_t i = from; i < bytes.size() && i < from + count; ++i) {
    std::snprintf(two, sizeof two, "%02x ", bytes[i]);
    text += two;
  }
  if (!text.empty()) text.pop_back();
  return text;
}

}  // namespace

int DataAnswerLength(std::int32_t ack) {
  switch (ack) {
    case DATA_SCAN_BEGIN + 1:
    case DATA_SCAN_END + 1:
      return 4 + TEXT_REPLY_SIZE;
    case DATA_BUTTON_ACK:
      return 4 + BUTTON_REPLY_SIZE;
    case DATA_ECHO_ACK:
      return 4 + ECHO_REPLY_SIZE;
    case DATA_BEGIN + 1:
    case DATA_ACQUIRE_BEGIN + 1:
    case DATA_END + 1:
    case DATA_ACQUIRE_END + 1:
      return 4 + TEXT_VALUE_REPLY_SIZE;
    default:
      return 4;
  }
}

struct Replay::Connection {
  platform::SocketHandle socket = platform::kInvalidSocket;
  std::uint64_t received = 0;  // bytes of the plug-in's compared so far
};

bool LoadReplayCapture(const std::string& path, CaptureFile* capture, std::string* error) {
  *capture = ReadCaptureFile(path);
  if (!capture->valid || capture->linkType != PCAPNG_LINKTYPE_RAW) {
    *error = "'" + path + "' is not a capture written by the plug-in";
    return false;
  }
  return true;
}

Replay::Replay(CaptureFile capture, ReplayOptions options)
    : capture_(std::move(capture)), options_(options) {}

void Replay::describe(bool command, std::uint64_t offset,
                      const std::vector<unsigned char>& expected,
                      const std::vector<unsigned char>& got) {
  std::size_t at = 0;
  while (at < expected.size() && at < got.size() && expected[at] == got[at]) ++at;
  const std::uint64_t where = offset + at;
  char text[512];
  if (command) {
    std::size_t word = at / 4 * 4;
    std::snprintf(
        text, sizeof text, "command channel, word %llu of the plug-in's: expected %d, got %s",
        static_cast<unsigned long long>(where / 4),
        word + 4 <= expected.size() ? GetInt32(&expected[word]) : -1,
        word + 4 <= got.size() ? std::to_string(GetInt32(&got[word])).c_str() : "nothing");
  } else {
    // The answer the byte falls in: acknowledgements and their reply records, in order.
    std::uint64_t start = 0;
    int index = 0;
    std::int32_t ack = 0;
    while (start + 4 <= recordedAnswers_.size()) {
      ack = GetInt32(&recordedAnswers_[start]);
      std::uint64_t end = start + static_cast<std::uint64_t>(DataAnswerLength(ack));
      if (where < end) break;
      start = end;
      ++index;
    }
    std::snprintf(text, sizeof text,
                  "data channel, answer %d (acknowledgement %d), byte %llu of it: expected %s, "
                  "got %s",
                  index + 1, ack, static_cast<unsigned long long>(where - start),
                  Hex(expected, at, 8).c_str(),
                  at < got.size() ? Hex(got, at, 8).c_str() : "nothing");
  }
  differences_.push_back(text);
}

bool Replay::expectFromPlugin(Connection& connection, const CapturedPacket& packet, bool command) {
  const std::vector<unsigned char>& expected = packet.payload;
  if (!command) recordedAnswers_.insert(recordedAnswers_.end(), expected.begin(), expected.end());
  awaitedCommand_ = command && expected.size() >= 4 && connection.received % 4 == 0
                        ? GetInt32(expected.data())
                        : 0;
  std::vector<unsigned char> got(expected.size());
  int count = 0;
  bool ok = ReceiveExactly(connection.socket, got.data(), static_cast<int>(got.size()), count);
  awaitedCommand_ = 0;
  got.resize(static_cast<std::size_t>(count > 0 ? count : 0));
  if (got != expected) describe(command, connection.received, expected, got);
  connection.received += expected.size();
  if (!ok || got.size() < expected.size()) {
    error_ = std::string("the plug-in sent nothing more on the ") + (command ? "command" : "data") +
             " channel";
    return false;
  }
  return true;
}

bool Replay::run() {
  platform::SocketHandle listener = platform::socketOpenTcp();
  if (listener == platform::kInvalidSocket ||
      !platform::socketBind(listener, kLoopback, options_.commandPort) ||
      !platform::socketListen(listener, 1)) {
    error_ = "cannot listen on the command port";
    if (listener != platform::kInvalidSocket) platform::socketClose(listener);
    return false;
  }
  listening_ = true;
  Connection command, data;
  const auto closeAll = [&] {
    for (Connection* c : {&command, &data}) {
      if (c->socket != platform::kInvalidSocket) platform::socketClose(c->socket);
      c->socket = platform::kInvalidSocket;
    }
    platform::socketClose(listener);
  };
  const auto started = std::chrono::steady_clock::now();
  const std::uint64_t firstUs =
      capture_.packets.empty() ? 0 : capture_.packets.front().microseconds;

  for (const CapturedPacket& packet : capture_.packets) {
    const bool onCommand =
        packet.destinationPort == options_.commandPort || packet.sourcePort == options_.commandPort;
    const bool fromPlugin = onCommand ? packet.destinationPort == options_.commandPort
                                      : packet.sourcePort == options_.dataPort;
    Connection& connection = onCommand ? command : data;
    const bool opens = (packet.flags & TCP_SYN) != 0 && (packet.flags & TCP_ACK) == 0;
    if (onCommand && opens) {
      // The plug-in connects; a watchdog wakes the accept when it does not in time.
      std::atomic<bool> accepted{false};
      std::thread watchdog([&] {
        for (int waited = 0; waited < options_.waitMs && !accepted; waited += 10) {
          platform::sleepMs(10);
        }
        if (!accepted) platform::socketWake(listener);
      });
      connection.socket = platform::socketAccept(listener);
      accepted = true;
      watchdog.join();
      if (connection.socket == platform::kInvalidSocket) {
        error_ = "the plug-in did not connect to the command port";
        closeAll();
        return false;
      }
      static_cast<void>(platform::socketSetOption(
          connection.socket, platform::SocketOption::ReceiveTimeoutMs, options_.waitMs));
      connection.received = 0;
    } else if (!onCommand && opens) {
      platform::SocketHandle socket = platform::kInvalidSocket;
      for (int waited = 0; waited < options_.waitMs; waited += 20) {
        socket = platform::socketOpenTcp();
        if (platform::socketConnect(socket, kLoopback, options_.dataPort)) break;
        platform::socketClose(socket);
        socket = platform::kInvalidSocket;
        platform::sleepMs(20);
      }
      if (socket == platform::kInvalidSocket) {
        error_ = "cannot connect to the plug-in's data port";
        closeAll();
        return false;
      }
      static_cast<void>(platform::socketSetOption(socket, platform::SocketOption::ReceiveTimeoutMs,
                                                  options_.waitMs));
      data.socket = socket;
      data.received = 0;
      recordedAnswers_.clear();
    } else if (packet.payload.empty()) {
      if ((packet.flags & TCP_FIN) == 0 || connection.socket == platform::kInvalidSocket) continue;
      if (fromPlugin) {
        // The plug-in closed here: the replay waits for it to close again before going on.
        unsigned char extra[64];
        if (ReceiveSome(connection.socket, extra, sizeof extra) != 0) {
          differences_.push_back(std::string(onCommand ? "command" : "data") +
                                 " channel: the plug-in did not close the connection where the "
                                 "capture has it closed");
        }
      } else {
        TcpClose(connection.socket);
        connection.socket = platform::kInvalidSocket;
      }
    } else if (connection.socket == platform::kInvalidSocket) {
      continue;  // a connection whose opening is not in the file
    } else if (fromPlugin) {
      if (!expectFromPlugin(connection, packet, onCommand)) {
        closeAll();
        return false;
      }
    } else {
      if (!options_.fast) {
        auto due =
            started + std::chrono::microseconds(static_cast<std::int64_t>(
                          static_cast<double>(packet.microseconds - firstUs) / options_.speed));
        std::this_thread::sleep_until(due);
      }
      int count = 0;
      static_cast<void>(SendAll(connection.socket, packet.payload.data(),
                                static_cast<int>(packet.payload.size()), count));
    }
  }
  closeAll();
  return true;
}
