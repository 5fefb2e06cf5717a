// The capture file: one queue for the whole process, fed by the taps of both channels, and the
// thread that writes it to the file.
#include "capture/Capture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

#include "capture/CaptureFiles.h"
#include "capture/Pcapng.h"
#include "platform/file.h"
#include "platform/module.h"
#include "platform/output.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "platform/wait.h"

namespace {

constexpr std::size_t kQueueHalfBytes = CAPTURE_QUEUE_BYTES / 2;
// Kept beyond a half of the queue for the notes that end the file (the packet at the limit and
// the count of packets left out), so that they are never left out themselves.
constexpr std::size_t kNoteRoom = 1024;
// Kept below the limit for the same notes.
constexpr std::uint64_t kStopNoteRoom = 1024;
// The capture's thread looks for queued packets this often, so a host that crashes loses at most
// the last few milliseconds of the capture.
constexpr unsigned kIdlePollMs = 10;
// The longest one write waits for its target before the thread looks at the stop again.
constexpr unsigned kWriteWaitMs = 50;
// The start of the file is written on the host's thread at load, so that a file that cannot be
// written at all is reported there; a target that takes nothing leaves it to the thread.
constexpr unsigned kStartWriteWaitMs = 200;
// The capture's thread ends within the stop's bounds and one write's wait after the stop, and
// closing a write that the system still holds takes a second at most.
constexpr unsigned kWriterEndMs = CAPTURE_STOP_MOST_MS + kWriteWaitMs + 1000 + 500;
constexpr int kMostNumberedFiles = 99;

std::uint64_t NowMicroseconds() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
}

}  // namespace

// The capture running: made by Start on the host's thread, freed by Stop once the capture's
// thread has ended. Its fields are the capture's thread's alone while it runs (the queue's half
// that the taps fill, and whether they may, are the component's, under its lock).
struct OpenCapture {
  std::string path;  // the file, for messages
  std::uint64_t limit = 0;
  // A file of its own for this start, beside the earlier ones of the configured name, rather
  // than a pipe or a device.
  bool ownFile = false;
  CaptureName name;
  platform::OutputFile* file = nullptr;
  LibraryThread* writer = nullptr;
  // The half it writes, and how far.
  CaptureBytes writing;
  std::size_t writingDone = 0;
  std::uint64_t written = 0;
  EarlierCaptures earlier;
  bool gathered = false;  // the earlier files have been looked up
  int failure = 0;        // the system's code of a write that failed
  bool failed = false;
  bool gaveUp = false;  // the target took nothing within the stop's bounds
  std::atomic<bool> stopRequested{false};
  // The stop could not take the lock: the thread leaves without it.
  std::atomic<bool> abandoned{false};
  std::atomic<bool> inWrite{false};  // for the end of the process, when the thread was ended
};

Capture::Capture(Lifecycle& lifecycle)
    : m_lifecycle(lifecycle),
      m_tap{this,
            [](void* self, platform::SocketHandle socket, bool pluginConnected) {
              auto* capture = static_cast<Capture*>(self);
              if (capture->On()) capture->Opened(socket, pluginConnected);
            },
            [](void* self, platform::SocketHandle socket, const void* data, int length) {
              auto* capture = static_cast<Capture*>(self);
              if (capture->On()) capture->Sent(socket, data, length);
            },
            [](void* self, platform::SocketHandle socket, const void* data, int length) {
              auto* capture = static_cast<Capture*>(self);
              if (capture->On()) capture->Received(socket, data, length);
            },
            [](void* self, platform::SocketHandle socket) {
              auto* capture = static_cast<Capture*>(self);
              if (capture->On()) capture->Closed(socket);
            }} {}

// A capture still running is stopped as at an unload (a test's, or a tool's, that never stopped
// it).
Capture::~Capture() { Stop(StopMode::kUnload); }

bool Capture::LockForTap() { return m_lifecycle.LockUnlessAbandoned(m_lock); }

bool Capture::LockUnlessAbandoned(const OpenCapture& open) {
  for (;;) {
    if (m_lock.tryLock()) return true;
    if (open.abandoned) return false;
    platform::sleepMs(1);
  }
}

bool Capture::Taking() { return m_open != nullptr && m_accepting; }

// No packet is taken from now on. The count of packets left out, when there are any, is queued
// last for the file.
void Capture::EndLocked() {
  if (!Taking()) return;
  m_accepting = false;
  m_on = false;
  if (m_totals.droppedPackets == 0) return;
  char note[240];
  std::snprintf(note, sizeof note,
                "Capture ended with %llu packets (%llu bytes) left out in all: the capture's "
                "file took the bytes too slowly.",
                static_cast<unsigned long long>(m_totals.droppedPackets),
                static_cast<unsigned long long>(m_totals.droppedBytes));
  AppendPcapngStatistics(m_filling, NowMicroseconds(), m_totals.droppedPackets, note);
}

Capture::Stream* Capture::Find(platform::SocketHandle socket) {
  for (Stream& stream : m_streams) {
    if (stream.socket == socket) return &stream;
  }
  return nullptr;
}

// One packet of stream from the plug-in's side or the console's, copied into the queue. A packet
// that would cross the limit is queued without its payload, with a comment, and the capture ends
// there. One that the queue has no room for is left out and counted; its sequence numbers are
// used all the same, so that Wireshark shows the gap in the stream.
void Capture::Emit(Stream& stream, bool fromPlugin, std::uint8_t flags,
                   const unsigned char* payload, int length) {
  if (!Taking()) return;  // an earlier packet of the same call ended the capture
  TcpSegment segment{};
  segment.sourcePort = fromPlugin ? stream.pluginPort : stream.consolePort;
  segment.destinationPort = fromPlugin ? stream.consolePort : stream.pluginPort;
  std::uint32_t& next = fromPlugin ? stream.pluginNext : stream.consoleNext;
  segment.sequence = next;
  segment.acknowledgement =
      (flags & TCP_ACK) != 0 ? (fromPlugin ? stream.consoleNext : stream.pluginNext) : 0;
  segment.flags = flags;
  segment.ipIdentification = m_ipIdentification++;
  unsigned char headers[CAPTURE_HEADERS_SIZE];
  EncodeTcpHeaders(segment, length, headers);
  next += static_cast<std::uint32_t>(length) + ((flags & (TCP_SYN | TCP_FIN)) != 0 ? 1 : 0);

  const std::uint64_t now = NowMicroseconds();
  const auto captured = static_cast<std::uint32_t>(CAPTURE_HEADERS_SIZE + length);
  CaptureBytes& queue = m_filling;
  char gap[160] = "";
  if (m_gapPackets > 0) {
    std::snprintf(gap, sizeof gap,
                  "%llu packets (%llu bytes) left out before this one: the capture's file took "
                  "the bytes too slowly.",
                  static_cast<unsigned long long>(m_gapPackets),
                  static_cast<unsigned long long>(m_gapBytes));
  }
  const std::size_t block = PcapngPacketBlockSize(captured, std::strlen(gap));
  if (m_accepted + block + kStopNoteRoom > m_limit) {
    char note[160];
    std::snprintf(note, sizeof note,
                  "Capture stopped here: the file reached its limit of %llu MB. This packet's "
                  "payload is left out.",
                  static_cast<unsigned long long>(m_limit >> 20));
    const std::size_t before = queue.size();
    AppendPcapngPacket(queue, now, headers, CAPTURE_HEADERS_SIZE, captured, note);
    m_accepted += queue.size() - before;
    ++m_totals.packets;
    EndLocked();
    return;
  }
  if (queue.size() + block > kQueueHalfBytes) {
    ++m_gapPackets;
    m_gapBytes += static_cast<std::uint64_t>(length);
    ++m_totals.droppedPackets;
    m_totals.droppedBytes += static_cast<std::uint64_t>(length);
    return;
  }
  AppendPcapngPacket(queue, now, headers, CAPTURE_HEADERS_SIZE, payload,
                     static_cast<std::uint32_t>(length), gap);
  m_accepted += block;
  ++m_totals.packets;
  m_gapPackets = 0;
  m_gapBytes = 0;
}

// Payload in segments an IPv4 packet can hold, all stamped with the one call's time.
void Capture::EmitData(Stream& stream, bool fromPlugin, const void* data, int length) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  while (length > 0 && Taking()) {
    int piece = length < CAPTURE_MAX_PAYLOAD ? length : CAPTURE_MAX_PAYLOAD;
    Emit(stream, fromPlugin, TCP_PSH | TCP_ACK, bytes, piece);
    bytes += piece;
    length -= piece;
  }
}

// Exchanges the written half for what the taps queued. ended: no packet comes after these. False
// when the stop has given the lock up for lost.
bool Capture::TakeQueue(OpenCapture& open, bool* ended) {
  if (!LockUnlessAbandoned(open)) return false;
  std::swap(m_filling, open.writing);
  *ended = !m_accepting;
  m_totals.writtenBytes = open.written;
  m_lock.unlock();
  return true;
}

// Writes the queue to the file until the capture has ended and everything queued is written, the
// file fails, or at the stop the target takes nothing for CAPTURE_STOP_IDLE_MS (or has written
// for CAPTURE_STOP_MOST_MS); then closes the file. It takes the lock only to exchange the halves
// of the queue, never while it writes. The capture's thread, or the stop for a thread that did
// not write.
void Capture::WriteQueue(OpenCapture& open) {
  if (open.ownFile && !open.gathered) {
    // Without the memory for the file's own name the earlier files are left alone.
    try {
      open.earlier.Gather(open.name, open.path.substr(open.name.folder.size()));
    } catch (const std::bad_alloc&) {
    }
    open.gathered = true;
  }
  std::uint32_t lastProgress = platform::tickCount();
  std::uint32_t stopSeen = 0;
  bool stopping = false;
  bool ended = false;
  for (;;) {
    if (open.writingDone == open.writing.size()) {
      if (ended) break;
      open.writing.clear();
      open.writingDone = 0;
      if (!TakeQueue(open, &ended)) break;
      if (open.writing.empty()) {
        if (!ended) platform::sleepMs(kIdlePollMs);
        continue;
      }
    }
    if (open.abandoned) break;
    const std::size_t rest = open.writing.size() - open.writingDone;
    if (open.ownFile) open.earlier.MakeRoom(open.written + rest, open.limit);
    int error = 0;
    open.inWrite = true;
    const int written = platform::fileWriteSome(open.file, open.writing.data() + open.writingDone,
                                                static_cast<int>(rest), kWriteWaitMs, &error);
    open.inWrite = false;
    const std::uint32_t now = platform::tickCount();
    if (written < 0) {
      open.failed = true;
      open.failure = error;
      break;
    }
    if (written > 0) {
      open.writingDone += static_cast<std::size_t>(written);
      open.written += static_cast<std::uint64_t>(written);
      lastProgress = now;
    }
    if (open.stopRequested) {
      if (!stopping) {
        stopping = true;
        stopSeen = now;
      }
      if (now - lastProgress >= CAPTURE_STOP_IDLE_MS || now - stopSeen >= CAPTURE_STOP_MOST_MS) {
        open.gaveUp = true;
        break;
      }
    }
  }
  // A failure ends the capture as the stop does; what was not written is counted.
  if (LockUnlessAbandoned(open)) {
    if (m_accepting) {
      m_accepting = false;
      m_on = false;
    }
    m_totals.writtenBytes = open.written;
    m_totals.unwrittenBytes = open.writing.size() - open.writingDone + m_filling.size();
    m_filling.clear();
    m_lock.unlock();
  }
  platform::fileClose(open.file);
  open.file = nullptr;
}

unsigned Capture::CaptureWriter(void* self) {
  auto& capture = *static_cast<Capture*>(self);
  capture.WriteQueue(*capture.m_started);
  return 0;
}

namespace {

// Opens the file of this start; false, with a line on standard error, when it cannot be opened.
bool OpenTarget(const CaptureSettings& settings, OpenCapture& open) {
  platform::FileOpenResult result = platform::FileOpenResult::kFailed;
  int error = 0;
  open.limit = settings.limitBytes;
  if (platform::pathKind(settings.path.c_str()) == platform::PathKind::kOther) {
    open.path = settings.path;
    open.file = platform::fileOpenWrite(open.path.c_str(), platform::FileCreate::kExisting, &result,
                                        &error);
  } else {
    open.ownFile = true;
    open.name = SplitCaptureName(settings.path);
    platform::LocalTime now{};
    platform::localTimeNow(&now);
    for (int number = 1; number <= kMostNumberedFiles; ++number) {
      open.path = CaptureFileName(open.name, now, number);
      open.file =
          platform::fileOpenWrite(open.path.c_str(), platform::FileCreate::kNew, &result, &error);
      if (result != platform::FileOpenResult::kExists) break;
    }
  }
  if (open.file != nullptr) return true;
  platform::standardPrint(
      platform::StandardStream::kError,
      "KvtScanner: cannot open the capture file %s; measuring goes on without it\n",
      open.path.c_str());
  return false;
}

void Discard(OpenCapture* open) {
  platform::fileClose(open->file);
  delete open;
}

}  // namespace

// Both halves of the queue at their full size, once: a tap never allocates. An allocation that
// fails (a 32-bit host's address space is small) leaves the capture off.
bool Capture::ReserveQueue(OpenCapture& open) {
  try {
    open.writing.reserve(kQueueHalfBytes + kNoteRoom);
    m_filling.reserve(kQueueHalfBytes + kNoteRoom);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool Capture::Start(const CaptureSettings& settings) {
  Stop(StopMode::kUnload);
  if (settings.path.empty()) return false;
  auto* open = new (std::nothrow) OpenCapture;
  if (open == nullptr) {
    platform::standardPrint(
        platform::StandardStream::kError,
        "KvtScanner: no memory for the capture; measuring goes on without it\n");
    return false;
  }
  if (!OpenTarget(settings, *open)) {
    delete open;
    return false;
  }
  bool reserved = false;
  {
    platform::LockGuard guard(m_lock);
    reserved = ReserveQueue(*open);
  }
  if (!reserved) {
    platform::standardPrint(platform::StandardStream::kError,
                            "KvtScanner: no memory for the capture's queue of %u MB\n",
                            static_cast<unsigned>(CAPTURE_QUEUE_BYTES >> 20));
    Discard(open);
    return false;
  }
  AppendPcapngStart(open->writing, "KvtScanner Lumora plug-in", settings.comment);
  int error = 0;
  const int written =
      platform::fileWriteSome(open->file, open->writing.data(),
                              static_cast<int>(open->writing.size()), kStartWriteWaitMs, &error);
  if (written < 0) {
    platform::standardPrint(platform::StandardStream::kError,
                            "KvtScanner: capture to %s stopped: the file cannot be written\n",
                            open->path.c_str());
    Discard(open);
    return false;
  }
  open->writingDone = static_cast<std::size_t>(written);
  open->written = static_cast<std::uint64_t>(written);
  {
    platform::LockGuard guard(m_lock);
    m_open = open;
    m_accepting = true;
    m_filling.clear();
    m_limit = settings.limitBytes;
    m_accepted = open->writing.size();
    m_totals = CaptureTotals{};
    m_totals.writtenBytes = open->written;
    m_gapPackets = 0;
    m_gapBytes = 0;
    for (Stream& stream : m_streams) stream = Stream{};
  }
  m_started = open;
  open->writer = m_lifecycle.StartThread(CaptureWriter, this);
  if (open->writer == nullptr) {
    platform::standardPrint(
        platform::StandardStream::kError,
        "KvtScanner: the capture's thread cannot be started; measuring goes on without "
        "it\n");
    m_started = nullptr;
    {
      platform::LockGuard guard(m_lock);
      m_open = nullptr;
    }
    Discard(open);
    return false;
  }
  m_on = true;
  return true;
}

void Capture::Stop(StopMode mode) {
  OpenCapture* open = m_started;
  if (open == nullptr) return;
  m_on = false;
  // At the end of the process the system may have ended a thread inside the lock.
  const bool locked = Lifecycle::LockForStop(m_lock, mode);
  if (locked) {
    EndLocked();
    m_lock.unlock();
  } else {
    open->abandoned = true;
  }
  open->stopRequested = true;
  if (!m_lifecycle.EndThread(open->writer, kWriterEndMs, mode)) {
    // Only a file system that holds a write beyond every bound (a share that a POSIX system
    // mounts without time limits) gets here: the thread must not run on in the library's code
    // once the library is gone, so it is waited for.
    platform::standardPrint(platform::StandardStream::kError,
                            "KvtScanner: the unload waits for the capture's write to %s\n",
                            open->path.c_str());
    while (!m_lifecycle.WaitThreadEnd(open->writer, 1000, platform::WaitPause::kSleep)) {
    }
  }
  m_lifecycle.ReleaseThread(open->writer);
  m_started = nullptr;
  if (!locked) {
    // The lock's owner is gone for good: the record is left as it is.
    platform::standardPrint(platform::StandardStream::kError,
                            "KvtScanner: capture to %s ended without its last packets\n",
                            open->path.c_str());
    return;
  }
  // What the capture's thread did not write, because it never began or the system ended it with
  // the process (not inside a write, which would still hold the file), is written here.
  if (open->file != nullptr && !open->inWrite) WriteQueue(*open);
  CaptureTotals totals;
  {
    platform::LockGuard guard(m_lock);
    m_open = nullptr;
    for (Stream& stream : m_streams) stream = Stream{};
    totals = m_totals;
  }
  if (open->failed) {
    platform::standardPrint(platform::StandardStream::kError,
                            "KvtScanner: capture to %s stopped: the file cannot be written\n",
                            open->path.c_str());
  } else if (open->gaveUp) {
    platform::standardPrint(
        platform::StandardStream::kError,
        "KvtScanner: capture to %s ended with %llu bytes unwritten and %llu packets left "
        "out: its target took nothing for %u ms\n",
        open->path.c_str(), static_cast<unsigned long long>(totals.unwrittenBytes),
        static_cast<unsigned long long>(totals.droppedPackets), CAPTURE_STOP_IDLE_MS);
  }
  delete open;
}

void Capture::Opened(platform::SocketHandle socket, bool pluginConnected) {
  std::uint16_t local = 0, remote = 0;
  if (!platform::socketPorts(socket, &local, &remote)) return;
  if (!LockForTap()) return;
  Stream* stream = nullptr;
  if (Taking()) {
    stream = Find(socket);
    if (stream == nullptr) stream = Find(platform::kInvalidSocket);
  }
  // More connections than the plug-in ever has are not shown.
  if (stream != nullptr) {
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
  m_lock.unlock();
}

void Capture::Sent(platform::SocketHandle socket, const void* data, int length) {
  if (!LockForTap()) return;
  Stream* stream = Taking() ? Find(socket) : nullptr;
  if (stream != nullptr && length > 0) EmitData(*stream, true, data, length);
  m_lock.unlock();
}

void Capture::Received(platform::SocketHandle socket, const void* data, int length) {
  if (!LockForTap()) return;
  Stream* stream = Taking() ? Find(socket) : nullptr;
  if (stream != nullptr && length == 0) {
    Emit(*stream, false, TCP_FIN | TCP_ACK, nullptr, 0);
  } else if (stream != nullptr && length > 0) {
    EmitData(*stream, false, data, length);
  }
  m_lock.unlock();
}

void Capture::Closed(platform::SocketHandle socket) {
  if (!LockForTap()) return;
  Stream* stream = Taking() ? Find(socket) : nullptr;
  if (stream != nullptr) {
    Emit(*stream, true, TCP_FIN | TCP_ACK, nullptr, 0);
    *stream = Stream{};
  }
  m_lock.unlock();
}

CaptureTotals Capture::Counts() {
  platform::LockGuard guard(m_lock);
  return m_totals;
}
