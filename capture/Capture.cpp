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
#include "platform/thread.h"
#include "platform/time.h"
#include "platform/wait.h"

namespace {

// Set while the capture takes packets: a tap that finds it clear returns without taking the lock.
std::atomic<bool> g_captureOn{false};

constexpr int kMaxStreams = 4;  // the command connection, the data connection, and one of each
                                // closing or waiting
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
// How long CaptureStop tries for the lock: only a thread that the system ended inside it keeps it
// longer than a copy of one packet.
constexpr unsigned kStopLockMs = 1000;
// The capture's thread ends within the stop's bounds and one write's wait after the stop, and
// closing a write that the system still holds takes a second at most.
constexpr unsigned kWriterEndMs = CAPTURE_STOP_MOST_MS + kWriteWaitMs + 1000 + 500;
constexpr int kMostNumberedFiles = 99;

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

// Lock order: taken last, after the command or data channel's own lock. Nothing is done under it
// but copying bytes in memory: no file call, no wait, no print.
platform::Lock g_captureLock;

// The capture running: made by CaptureStart on the host's thread, freed by CaptureStop once the
// capture's thread has ended. On the heap: the library's static objects are destroyed at its
// unload, possibly before the application object, whose teardown still sends commands through
// the taps.
struct OpenCapture {
  std::string path;  // the file, for messages
  std::uint64_t limit = 0;
  // A file of its own for this start, beside the earlier ones of the configured name, rather
  // than a pipe or a device.
  bool ownFile = false;
  CaptureName name;
  platform::OutputFile* file = nullptr;
  platform::Thread* writer = nullptr;
  // The half of the queue that the taps fill, and whether they may.
  CaptureBytes filling KVT_GUARDED_BY(g_captureLock);
  bool accepting KVT_GUARDED_BY(g_captureLock) = true;
  // The capture's thread's alone while it runs: the half it writes, and how far.
  CaptureBytes writing;
  std::size_t writingDone = 0;
  std::uint64_t written = 0;
  EarlierCaptures earlier;
  int failure = 0;  // the system's code of a write that failed
  bool failed = false;
  bool gaveUp = false;  // the target took nothing within the stop's bounds
  std::atomic<bool> stopRequested{false};
  // CaptureStop could not take the lock: the thread leaves without it.
  std::atomic<bool> abandoned{false};
  std::atomic<bool> inWrite{false};  // for the end of the process, when the thread was ended
};

OpenCapture* g_open KVT_GUARDED_BY(g_captureLock) = nullptr;
Stream g_streams[kMaxStreams] KVT_GUARDED_BY(g_captureLock);
std::uint16_t g_ipIdentification KVT_GUARDED_BY(g_captureLock) = 0;
std::uint64_t g_limit KVT_GUARDED_BY(g_captureLock) = 0;
std::uint64_t g_accepted KVT_GUARDED_BY(g_captureLock) = 0;  // bytes queued for the file
CaptureTotals g_totals KVT_GUARDED_BY(g_captureLock);
// The packets left out since the last one queued: the next one queued says so.
std::uint64_t g_gapPackets KVT_GUARDED_BY(g_captureLock) = 0;
std::uint64_t g_gapBytes KVT_GUARDED_BY(g_captureLock) = 0;

// The capture that CaptureStart made, for CaptureStop: the host's thread's alone.
OpenCapture* g_started = nullptr;

std::uint64_t NowMicroseconds() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
}

// Takes the lock for a tap. At the end of the process only when it is free: the system has
// ended every other thread by then, maybe one inside it.
bool LockForTap() KVT_TRY_ACQUIRE(true, g_captureLock) KVT_NO_ANALYSIS {
  if (platform::processEnding()) return g_captureLock.tryLock();
  g_captureLock.lock();
  return true;
}

// Takes the lock within a bound; false when a thread that the system ended keeps it.
bool LockWithin(unsigned limitMs) KVT_TRY_ACQUIRE(true, g_captureLock) KVT_NO_ANALYSIS {
  return platform::WaitUntil(platform::Deadline(limitMs), platform::WaitPause::kSleep, 1,
                             [] { return g_captureLock.tryLock(); });
}

// Takes the lock for the capture's thread, unless CaptureStop has given it up for lost.
bool LockUnlessAbandoned(const OpenCapture& open)
    KVT_TRY_ACQUIRE(true, g_captureLock) KVT_NO_ANALYSIS {
  while (!g_captureLock.tryLock()) {
    if (open.abandoned) return false;
    platform::sleepMs(1);
  }
  return true;
}

bool Taking() KVT_REQUIRES(g_captureLock) { return g_open != nullptr && g_open->accepting; }

// No packet is taken from now on. The count of packets left out, when there are any, is queued
// last for the file.
void EndLocked() KVT_REQUIRES(g_captureLock) {
  if (!Taking()) return;
  g_open->accepting = false;
  g_captureOn = false;
  if (g_totals.droppedPackets == 0) return;
  char note[240];
  std::snprintf(note, sizeof note,
                "Capture ended with %llu packets (%llu bytes) left out in all: the capture's "
                "file took the bytes too slowly.",
                static_cast<unsigned long long>(g_totals.droppedPackets),
                static_cast<unsigned long long>(g_totals.droppedBytes));
  AppendPcapngStatistics(g_open->filling, NowMicroseconds(), g_totals.droppedPackets, note);
}

Stream* Find(platform::SocketHandle socket) KVT_REQUIRES(g_captureLock) {
  for (Stream& stream : g_streams) {
    if (stream.socket == socket) return &stream;
  }
  return nullptr;
}

// One packet of stream from the plug-in's side or the console's, copied into the queue. A packet
// that would cross the limit is queued without its payload, with a comment, and the capture ends
// there. One that the queue has no room for is left out and counted; its sequence numbers are
// used all the same, so that Wireshark shows the gap in the stream.
void Emit(Stream& stream, bool fromPlugin, std::uint8_t flags, const unsigned char* payload,
          int length) KVT_REQUIRES(g_captureLock) {
  if (!Taking()) return;  // an earlier packet of the same call ended the capture
  TcpSegment segment{};
  segment.sourcePort = fromPlugin ? stream.pluginPort : stream.consolePort;
  segment.destinationPort = fromPlugin ? stream.consolePort : stream.pluginPort;
  std::uint32_t& next = fromPlugin ? stream.pluginNext : stream.consoleNext;
  segment.sequence = next;
  segment.acknowledgement =
      (flags & TCP_ACK) != 0 ? (fromPlugin ? stream.consoleNext : stream.pluginNext) : 0;
  segment.flags = flags;
  segment.ipIdentification = g_ipIdentification++;
  unsigned char headers[CAPTURE_HEADERS_SIZE];
  EncodeTcpHeaders(segment, length, headers);
  next += static_cast<std::uint32_t>(length) + ((flags & (TCP_SYN | TCP_FIN)) != 0 ? 1 : 0);

  const std::uint64_t now = NowMicroseconds();
  const auto captured = static_cast<std::uint32_t>(CAPTURE_HEADERS_SIZE + length);
  CaptureBytes& queue = g_open->filling;
  char gap[160] = "";
  if (g_gapPackets > 0) {
    std::snprintf(gap, sizeof gap,
                  "%llu packets (%llu bytes) left out before this one: the capture's file took "
                  "the bytes too slowly.",
                  static_cast<unsigned long long>(g_gapPackets),
                  static_cast<unsigned long long>(g_gapBytes));
  }
  const std::size_t block = PcapngPacketBlockSize(captured, std::strlen(gap));
  if (g_accepted + block + kStopNoteRoom > g_limit) {
    char note[160];
    std::snprintf(note, sizeof note,
                  "Capture stopped here: the file reached its limit of %llu MB. This packet's "
                  "payload is left out.",
                  static_cast<unsigned long long>(g_limit >> 20));
    const std::size_t before = queue.size();
    AppendPcapngPacket(queue, now, headers, CAPTURE_HEADERS_SIZE, captured, note);
    g_accepted += queue.size() - before;
    ++g_totals.packets;
    EndLocked();
    return;
  }
  if (queue.size() + block > kQueueHalfBytes) {
    ++g_gapPackets;
    g_gapBytes += static_cast<std::uint64_t>(length);
    ++g_totals.droppedPackets;
    g_totals.droppedBytes += static_cast<std::uint64_t>(length);
    return;
  }
  AppendPcapngPacket(queue, now, headers, CAPTURE_HEADERS_SIZE, payload,
                     static_cast<std::uint32_t>(length), gap);
  g_accepted += block;
  ++g_totals.packets;
  g_gapPackets = 0;
  g_gapBytes = 0;
}

// Payload in segments an IPv4 packet can hold, all stamped with the one call's time.
void EmitData(Stream& stream, bool fromPlugin, const void* data, int length)
    KVT_REQUIRES(g_captureLock) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  while (length > 0 && Taking()) {
    int piece = length < CAPTURE_MAX_PAYLOAD ? length : CAPTURE_MAX_PAYLOAD;
    Emit(stream, fromPlugin, TCP_PSH | TCP_ACK, bytes, piece);
    bytes += piece;
    length -= piece;
  }
}

// Exchanges the capture's thread's written half for what the taps queued. ended: no packet comes
// after these. False when CaptureStop has given the lock up for lost.
bool TakeQueue(OpenCapture& open, bool* ended) {
  if (!LockUnlessAbandoned(open)) return false;
  std::swap(open.filling, open.writing);
  *ended = !open.accepting;
  g_totals.writtenBytes = open.written;
  g_captureLock.unlock();
  return true;
}

// The capture's thread: writes the queue to the file until the capture has ended and everything
// queued is written, the file fails, or at the stop the target takes nothing for
// CAPTURE_STOP_IDLE_MS (or has written for CAPTURE_STOP_MOST_MS). It takes the lock only to
// exchange the halves of the queue, never while it writes.
unsigned CaptureWriter(void* argument) {
  OpenCapture& open = *static_cast<OpenCapture*>(argument);
  if (open.ownFile) {
    // Without the memory for the file's own name the earlier files are left alone.
    try {
      open.earlier.Gather(open.name, open.path.substr(open.name.folder.size()));
    } catch (const std::bad_alloc&) {
    }
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
    if (open.accepting) {
      open.accepting = false;
      g_captureOn = false;
    }
    g_totals.writtenBytes = open.written;
    g_totals.unwrittenBytes = open.writing.size() - open.writingDone + open.filling.size();
    open.filling.clear();
    g_captureLock.unlock();
  }
  platform::fileClose(open.file);
  open.file = nullptr;
  return 0;
}

// At the end of the process the system has ended the capture's thread, maybe inside a write or
// inside the lock. What is queued is written when it was in neither, and nothing is waited for.
void StopAtProcessEnd(OpenCapture& open) {
  g_captureOn = false;
  if (!g_captureLock.tryLock()) return;
  EndLocked();
  if (open.file != nullptr && !open.inWrite) {
    CaptureBytes* halves[2] = {&open.writing, &open.filling};
    std::size_t done = open.writingDone;
    for (CaptureBytes* half : halves) {
      int error = 0;
      while (done < half->size()) {
        int written =
            platform::fileWriteSome(open.file, half->data() + done,
                                    static_cast<int>(half->size() - done), kWriteWaitMs, &error);
        if (written <= 0) break;
        done += static_cast<std::size_t>(written);
      }
      if (done < half->size()) break;
      done = 0;
    }
    platform::fileClose(open.file);
    open.file = nullptr;
  }
  platform::threadRelease(open.writer);
  g_open = nullptr;
  g_captureLock.unlock();
  // The record goes with the process.
}

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
  std::fprintf(stderr,
               "KvtScanner: cannot open the capture file %s; measuring goes on without it\n",
               open.path.c_str());
  return false;
}

// Both halves of the queue at their full size, once: a tap never allocates. An allocation that
// fails (a 32-bit host's address space is small) leaves the capture off.
bool ReserveQueue(OpenCapture& open) KVT_REQUIRES(g_captureLock) {
  try {
    open.writing.reserve(kQueueHalfBytes + kNoteRoom);
    open.filling.reserve(kQueueHalfBytes + kNoteRoom);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void Discard(OpenCapture* open) {
  platform::fileClose(open->file);
  delete open;
}

}  // namespace

bool CaptureStart(const CaptureSettings& settings) {
  CaptureStop();
  if (settings.path.empty()) return false;
  auto* open = new (std::nothrow) OpenCapture;
  if (open == nullptr) {
    std::fprintf(stderr, "KvtScanner: no memory for the capture; measuring goes on without it\n");
    return false;
  }
  if (!OpenTarget(settings, *open)) {
    delete open;
    return false;
  }
  bool reserved = false;
  {
    platform::LockGuard guard(g_captureLock);
    reserved = ReserveQueue(*open);
  }
  if (!reserved) {
    std::fprintf(stderr, "KvtScanner: no memory for the capture's queue of %u MB\n",
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
    std::fprintf(stderr, "KvtScanner: capture to %s stopped: the file cannot be written\n",
                 open->path.c_str());
    Discard(open);
    return false;
  }
  open->writingDone = static_cast<std::size_t>(written);
  open->written = static_cast<std::uint64_t>(written);
  {
    platform::LockGuard guard(g_captureLock);
    g_open = open;
    g_limit = settings.limitBytes;
    g_accepted = open->writing.size();
    g_totals = CaptureTotals{};
    g_totals.writtenBytes = open->written;
    g_gapPackets = 0;
    g_gapBytes = 0;
    for (Stream& stream : g_streams) stream = Stream{};
  }
  open->writer = platform::threadStart(CaptureWriter, open);
  if (open->writer == nullptr) {
    std::fprintf(stderr,
                 "KvtScanner: the capture's thread cannot be started; measuring goes on without "
                 "it\n");
    {
      platform::LockGuard guard(g_captureLock);
      g_open = nullptr;
    }
    Discard(open);
    return false;
  }
  g_started = open;
  g_captureOn = true;
  return true;
}

void CaptureStop() {
  OpenCapture* open = g_started;
  if (open == nullptr) return;
  g_started = nullptr;
  g_captureOn = false;
  if (platform::processEnding()) {
    StopAtProcessEnd(*open);
    return;
  }
  const bool locked = LockWithin(kStopLockMs);
  if (locked) {
    EndLocked();
    g_captureLock.unlock();
  } else {
    open->abandoned = true;
  }
  open->stopRequested = true;
  if (!platform::WaitThreadEnd(open->writer, kWriterEndMs)) {
    // Only a file system that holds a write beyond every bound (a share that a POSIX system
    // mounts without time limits) gets here: the thread must not run on in the library's code
    // once the library is gone, so it is waited for.
    std::fprintf(stderr, "KvtScanner: the unload waits for the capture's write to %s\n",
                 open->path.c_str());
    while (!platform::threadWaitEnd(open->writer, 1000)) {
    }
  }
  platform::threadRelease(open->writer);
  if (!locked) {
    // The lock's owner is gone for good: the record is left as it is.
    std::fprintf(stderr, "KvtScanner: capture to %s ended without its last packets\n",
                 open->path.c_str());
    return;
  }
  CaptureTotals totals;
  {
    platform::LockGuard guard(g_captureLock);
    g_open = nullptr;
    for (Stream& stream : g_streams) stream = Stream{};
    totals = g_totals;
  }
  if (open->failed) {
    std::fprintf(stderr, "KvtScanner: capture to %s stopped: the file cannot be written\n",
                 open->path.c_str());
  } else if (open->gaveUp) {
    std::fprintf(stderr,
                 "KvtScanner: capture to %s ended with %llu bytes unwritten and %llu packets left "
                 "out: its target took nothing for %u ms\n",
                 open->path.c_str(), static_cast<unsigned long long>(totals.unwrittenBytes),
                 static_cast<unsigned long long>(totals.droppedPackets), CAPTURE_STOP_IDLE_MS);
  }
  delete open;
}

void CaptureOpened(platform::SocketHandle socket, bool pluginConnected) {
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
  g_captureLock.unlock();
}

void CaptureSent(platform::SocketHandle socket, const void* data, int length) {
  if (!LockForTap()) return;
  Stream* stream = Taking() ? Find(socket) : nullptr;
  if (stream != nullptr && length > 0) EmitData(*stream, true, data, length);
  g_captureLock.unlock();
}

void CaptureReceived(platform::SocketHandle socket, const void* data, int length) {
  if (!LockForTap()) return;
  Stream* stream = Taking() ? Find(socket) : nullptr;
  if (stream != nullptr && length == 0) {
    Emit(*stream, false, TCP_FIN | TCP_ACK, nullptr, 0);
  } else if (stream != nullptr && length > 0) {
    EmitData(*stream, false, data, length);
  }
  g_captureLock.unlock();
}

void CaptureClosed(platform::SocketHandle socket) {
  if (!LockForTap()) return;
  Stream* stream = Taking() ? Find(socket) : nullptr;
  if (stream != nullptr) {
    Emit(*stream, true, TCP_FIN | TCP_ACK, nullptr, 0);
    *stream = Stream{};
  }
  g_captureLock.unlock();
}

bool CaptureOn() { return g_captureOn.load(std::memory_order_relaxed); }

CaptureTotals CaptureCounts() {
  platform::LockGuard guard(g_captureLock);
  return g_totals;
}

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
