// The capture file: one writer for the whole process, fed by the taps of both channels.
#include "capture/Capture.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <new>

#include "capture/Pcapng.h"
#include "platform/thread.h"

namespace {

// Set while a file is open: a tap that finds it clear returns without taking the lock.
std::atomic<bool> g_captureOn{false};

constexpr int kMaxStreams = 4;  // the command connection, the data connection, and one of each
                                // closing or waiting
// Room kept below the limit for the packet that says the capture stopped there.
constexpr std::uint64_t kStopNoteRoom = 512;

// One connection as the capture shows it. Sequence numbers start at fixed values: they only
// have to be consistent within the file.
struct Stream {
  platform::SocketHandle socket = platform::kInvalidSocket;
  bool pluginConnected = false;
  std::uint16_t pluginPort = 0;
  std::uint16_t consolePort = 0;
  std::uint32_t pluginNext = 0;   // the next sequence number of the plug-in's side
  std::uint32_t consoleNext = 0;  // and of the console's
};

// Lock order: taken last, after the command or data channel's own lock; nothing is called under
// it but the file's writes.
platform::StaticRecursiveLock g_captureLock;
std::FILE* g_file KVT_GUARDED_BY(g_captureLock) = nullptr;
std::uint64_t g_limit KVT_GUARDED_BY(g_captureLock) = 0;
std::uint64_t g_written KVT_GUARDED_BY(g_captureLock) = 0;
std::uint16_t g_ipIdentification KVT_GUARDED_BY(g_captureLock) = 0;
Stream g_streams[kMaxStreams] KVT_GUARDED_BY(g_captureLock);
// What an open capture needs beyond plain values, on the heap while the file is open: the
// library's static objects are destroyed at its unload, possibly before the application object,
// whose teardown still sends commands through the taps.
struct OpenCapture {
  std::string path;
  CaptureBytes block;  // reused, so that a packet allocates nothing
  CaptureBytes packet;
};
OpenCapture* g_open KVT_GUARDED_BY(g_captureLock) = nullptr;

std::uint64_t NowMicroseconds() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
}

void CloseFile() KVT_REQUIRES(g_captureLock) {
  g_captureOn = false;
  if (g_file != nullptr) std::fclose(g_file);
  g_file = nullptr;
  delete g_open;
  g_open = nullptr;
  for (Stream& stream : g_streams) stream = Stream{};
}

// Writes the block and flushes it, so that a host that crashes leaves a file that opens; a write
// that fails (a full disk) ends the capture, never the measurement.
void WriteBlock() KVT_REQUIRES(g_captureLock) {
  if (std::fwrite(g_open->block.data(), 1, g_open->block.size(), g_file) != g_open->block.size() ||
      std::fflush(g_file) != 0) {
    std::fprintf(stderr, "KvtScanner: capture to %s stopped: the file cannot be written\n",
                 g_open->path.c_str());
    CloseFile();
    return;
  }
  g_written += g_open->block.size();
}

Stream* Find(platform::SocketHandle socket) KVT_REQUIRES(g_captureLock) {
  for (Stream& stream : g_streams) {
    if (stream.socket == socket) return &stream;
  }
  return nullptr;
}

// One packet of stream from the plug-in's side or the console's. A packet that would cross the
// limit is written without its payload, with a comment, and the capture ends there.
void Emit(Stream& stream, bool fromPlugin, std::uint8_t flags, const unsigned char* payload,
          int length) KVT_REQUIRES(g_captureLock) {
  if (g_file == nullptr) return;  // an earlier packet of the same call ended the capture
  TcpSegment segment{};
  segment.sourcePort = fromPlugin ? stream.pluginPort : stream.consolePort;
  segment.destinationPort = fromPlugin ? stream.consolePort : stream.pluginPort;
  std::uint32_t& next = fromPlugin ? stream.pluginNext : stream.consoleNext;
  segment.sequence = next;
  segment.acknowledgement =
      (flags & TCP_ACK) != 0 ? (fromPlugin ? stream.consoleNext : stream.pluginNext) : 0;
  segment.flags = flags;
  segment.ipIdentification = g_ipIdentification++;
  g_open->packet.resize(CAPTURE_HEADERS_SIZE + static_cast<std::size_t>(length));
  EncodeTcpHeaders(segment, length, g_open->packet.data());
  if (length > 0)
    std::copy(payload, payload + length, g_open->packet.begin() + CAPTURE_HEADERS_SIZE);
  next += static_cast<std::uint32_t>(length) + ((flags & (TCP_SYN | TCP_FIN)) != 0 ? 1 : 0);

  const std::uint64_t now = NowMicroseconds();
  const std::uint32_t size = static_cast<std::uint32_t>(g_open->packet.size());
  g_open->block.clear();
  if (g_written + size + 64 + kStopNoteRoom > g_limit) {
    char note[160];
    std::snprintf(note, sizeof note,
                  "Capture stopped here: the file reached its limit of %llu MB. This packet's "
                  "payload is left out.",
                  static_cast<unsigned long long>(g_limit >> 20));
    AppendPcapngPacket(g_open->block, now, g_open->packet.data(), CAPTURE_HEADERS_SIZE, size, note);
    WriteBlock();
    CloseFile();
    return;
  }
  AppendPcapngPacket(g_open->block, now, g_open->packet.data(), size, size, "");
  WriteBlock();
}

// Payload in segments an IPv4 packet can hold, all stamped with the one call's time.
void EmitData(Stream& stream, bool fromPlugin, const void* data, int length)
    KVT_REQUIRES(g_captureLock) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  while (length > 0 && g_file != nullptr) {
    int piece = length < CAPTURE_MAX_PAYLOAD ? length : CAPTURE_MAX_PAYLOAD;
    Emit(stream, fromPlugin, TCP_PSH | TCP_ACK, bytes, piece);
    bytes += piece;
    length -= piece;
  }
}

}  // namespace

bool CaptureStart(const CaptureSettings& settings) {
  platform::LockGuard guard(g_captureLock);
  CloseFile();
  if (settings.path.empty()) return false;
  g_file = std::fopen(settings.path.c_str(), "wb");
  if (g_file == nullptr) {
    std::fprintf(stderr,
                 "KvtScanner: cannot open the capture file %s; measuring goes on without it\n",
                 settings.path.c_str());
    return false;
  }
  g_open = new (std::nothrow) OpenCapture;
  if (g_open == nullptr) {
    CloseFile();
    return false;
  }
  g_open->path = settings.path;
  g_limit = settings.limitBytes;
  g_written = 0;
  AppendPcapngStart(g_open->block, "KvtScanner Lumora plug-in", settings.comment);
  WriteBlock();
  g_captureOn = g_file != nullptr;
  return g_captureOn;
}

void CaptureStop() {
  platform::LockGuard guard(g_captureLock);
  CloseFile();
}

void CaptureOpened(platform::SocketHandle socket, bool pluginConnected) {
  platform::LockGuard guard(g_captureLock);
  if (g_file == nullptr) return;
  Stream* stream = Find(socket);
  if (stream == nullptr) stream = Find(platform::kInvalidSocket);
  if (stream == nullptr) return;  // more connections than the plug-in ever has: not shown
  std::uint16_t local = 0, remote = 0;
  if (!platform::socketPorts(socket, &local, &remote)) return;
  *stream = Stream{socket, pluginConnected, local, remote, 1000000, 2000000};
  if (pluginConnected) {
    Emit(*stream, true, TCP_SYN, nullptr, 0);
    Emit(*stream, false, TCP_SYN | TCP_ACK, nullptr, 0);
    Emit(*stream, true, TCP_ACK, nullptr, 0);
  } else {
    Emit(*stream, false, TCP_SYN, nullptr, 0);
    Emit(*stream, true, TCP_SYN | TCP_ACK, nullptr, 0);
    Emit(*stream, false, TCP_ACK, nullptr, 0);
  }
}

void CaptureSent(platform::SocketHandle socket, const void* data, int length) {
  platform::LockGuard guard(g_captureLock);
  Stream* stream = g_file != nullptr ? Find(socket) : nullptr;
  if (stream != nullptr && length > 0) EmitData(*stream, true, data, length);
}

void CaptureReceived(platform::SocketHandle socket, const void* data, int length) {
  platform::LockGuard guard(g_captureLock);
  Stream* stream = g_file != nullptr ? Find(socket) : nullptr;
  if (stream == nullptr || length < 0) return;
  if (length == 0) {
    Emit(*stream, false, TCP_FIN | TCP_ACK, nullptr, 0);
  } else {
    EmitData(*stream, false, data, length);
  }
}

void CaptureClosed(platform::SocketHandle socket) {
  platform::LockGuard guard(g_captureLock);
  Stream* stream = g_file != nullptr ? Find(socket) : nullptr;
  if (stream == nullptr) return;
  Emit(*stream, true, TCP_FIN | TCP_ACK, nullptr, 0);
  if (g_file != nullptr) *stream = Stream{};
}

bool CaptureOn() { return g_captureOn.load(std::memory_order_relaxed); }

namespace {

void TapOpened(platform::SocketHandle socket, bool pluginConnected) {
  if (CaptureOn()) CaptureOpened(socket, pluginConnected);
}
void TapSent(platform::SocketHandle socket, const void* data, int length) {
  if (CaptureOn()) CaptureSent(socket, data, length);
}
void TapReceived(platform::SocketHandle socket, const void* data, int length) {
  if (CaptureOn()) CaptureReceived(socket, data, length);
}
void TapClosed(platform::SocketHandle socket) {
  if (CaptureOn()) CaptureClosed(socket);
}

constexpr SocketTap kCaptureTap = {TapOpened, TapSent, TapReceived, TapClosed};

}  // namespace

const SocketTap& CaptureSocketTap() { return kCaptureTap; }
