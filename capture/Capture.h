// The plug-in's own capture of both channels: what it sends and receives, as it saw it, written
// as loopback TCP traffic to a pcapng file that Wireshark opens. Off unless the settings file or
// the environment names a file.
//
// The capture never holds up a channel. A tap copies its packet into an in-memory queue under a
// short lock and returns; a thread of the capture's own writes the queue to the file. When the
// file's target takes bytes more slowly than the channels bring them (a stalled share, a pipe
// nobody reads), the full queue leaves packets out and counts them, and the file says so in
// comments. Packets are written in the order the taps saw them.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "capture/Pcapng.h"
#include "lifecycle/Lifecycle.h"
#include "platform/file.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "wire/SocketRoutines.h"

// What the queue holds at most: two halves, one that the taps fill while the capture's thread
// writes the other.
constexpr std::uint32_t CAPTURE_QUEUE_BYTES = 8u << 20;

// How long the capture's stop lets a target that takes nothing hold up the end of the file; what is
// still queued then is left unwritten. And how long it lets a slow target write at most.
constexpr unsigned CAPTURE_STOP_IDLE_MS = 250;
constexpr unsigned CAPTURE_STOP_MOST_MS = 2000;

// Where the capture goes and how large it may grow; path "" is no capture.
struct CaptureSettings {
  // A regular file, or a name not yet taken, stands for a new file per start named after it
  // with the date and time (CaptureFiles.h); a pipe or a device is written as it stands.
  std::string path;
  // All files of the name together, the new one included; a pipe or a device alone.
  std::uint64_t limitBytes = 0;
  std::string comment;  // the plug-in's version and the settings in force, for the file's start
};

// The counts of the capture running, or of the last one once stopped.
struct CaptureTotals {
  std::uint64_t packets = 0;         // queued for the file
  std::uint64_t droppedPackets = 0;  // left out because the queue was full
  std::uint64_t droppedBytes = 0;    // their payload
  std::uint64_t writtenBytes = 0;    // the file's size
  std::uint64_t unwrittenBytes = 0;  // queued but never written: the target stalled at the stop
};

struct OpenCapture;

// Threads: Start and Stop on the host's thread at load and unload; the taps on whichever thread
// made the socket call, several at once; and the capture's own thread, which writes the file.
// m_lock guards the queue and the connections' records; a tap holds it only to copy one packet
// into the queue, and it is taken after any other lock of the library (the taps run inside the
// channels' steps). No file write happens under it, and the taps never wait for the file: a
// target that takes nothing costs the channels nothing, its packets are left out and counted.
//
// What it never does: wait for the file in a tap, or print from its own thread.
class Capture {
 public:
  explicit Capture(Lifecycle& lifecycle);
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Makes room among the earlier files, opens the new file, writes its start and starts the
  // capture's thread. False, with one line on standard error, when the file cannot be opened or
  // written (measuring goes on without a capture). Host's thread, at load.
  [[nodiscard]] bool Start(const CaptureSettings& settings) KVT_EXCLUDES(m_lock);

  // Ends the capture: no packet is taken from now on, what is queued is written (within the
  // bounds above) with the count of packets left out, the file is closed and the thread ends.
  // Whatever the capture's thread did not write (it had not begun, or the system ended it with
  // the process) the stop writes itself, within the same bounds. A failure of the file on the
  // way is reported here, once, on standard error: the capture's thread prints nothing, so that
  // a host's full standard error cannot hold it. At the unload after both channels' stops, so
  // that their last packets are in the file; safe while other threads still tap.
  void Stop(StopMode mode) KVT_EXCLUDES(m_lock);

  // True while the capture takes packets: from Start until its file reaches the limit, fails, or
  // Stop.
  [[nodiscard]] bool On() const { return m_on.load(std::memory_order_relaxed); }
  [[nodiscard]] CaptureTotals Counts() KVT_EXCLUDES(m_lock);

  // The tap that feeds this capture, for the socket routines (InstallSocketTap). It stays valid
  // for the capture's life and does nothing while no capture runs.
  [[nodiscard]] const SocketTap& Tap() const { return m_tap; }

  // The tap's parts, each called right after the socket call it records, from whichever thread
  // made it. Opened: a connection the plug-in made (pluginConnected) or accepted, shown as a
  // handshake. Sent and Received: the bytes one call moved; a receive of 0 bytes is the console's
  // FIN. Closed: the plug-in's FIN, and the end of the connection's record. Each copies into the
  // queue and returns; none waits for the file.
  void Opened(platform::SocketHandle socket, bool pluginConnected) KVT_EXCLUDES(m_lock);
  void Sent(platform::SocketHandle socket, const void* data, int length) KVT_EXCLUDES(m_lock);
  void Received(platform::SocketHandle socket, const void* data, int length) KVT_EXCLUDES(m_lock);
  void Closed(platform::SocketHandle socket) KVT_EXCLUDES(m_lock);

 private:
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
  static constexpr int kMaxStreams = 4;  // the command connection, the data connection, and one
                                         // of each closing or waiting

  static unsigned CaptureWriter(void* self);
  void WriteQueue(OpenCapture& open);
  // Takes the lock for a tap: at the end of the process only when it is free, since the system
  // may have ended a thread inside it.
  [[nodiscard]] bool LockForTap() KVT_TRY_ACQUIRE(true, m_lock);
  // Takes the lock for the capture's thread, unless the stop has given it up for lost.
  [[nodiscard]] bool LockUnlessAbandoned(const OpenCapture& open) KVT_TRY_ACQUIRE(true, m_lock);
  [[nodiscard]] bool TakeQueue(OpenCapture& open, bool* ended) KVT_EXCLUDES(m_lock);
  [[nodiscard]] bool Taking() KVT_REQUIRES(m_lock);
  void EndLocked() KVT_REQUIRES(m_lock);
  [[nodiscard]] Stream* Find(platform::SocketHandle socket) KVT_REQUIRES(m_lock);
  void Emit(Stream& stream, bool fromPlugin, std::uint8_t flags, const unsigned char* payload,
            int length) KVT_REQUIRES(m_lock);
  void EmitData(Stream& stream, bool fromPlugin, const void* data, int length) KVT_REQUIRES(m_lock);
  [[nodiscard]] bool ReserveQueue(OpenCapture& open) KVT_REQUIRES(m_lock);

  Lifecycle& m_lifecycle;
  const SocketTap m_tap;
  // Set while the capture takes packets: a tap that finds it clear returns without the lock.
  std::atomic<bool> m_on{false};
  platform::Lock m_lock;
  OpenCapture* m_open KVT_GUARDED_BY(m_lock) = nullptr;
  // The half of the queue that the taps fill, and whether they may.
  CaptureBytes m_filling KVT_GUARDED_BY(m_lock);
  bool m_accepting KVT_GUARDED_BY(m_lock) = false;
  Stream m_streams[kMaxStreams] KVT_GUARDED_BY(m_lock);
  std::uint16_t m_ipIdentification KVT_GUARDED_BY(m_lock) = 0;
  std::uint64_t m_limit KVT_GUARDED_BY(m_lock) = 0;
  std::uint64_t m_accepted KVT_GUARDED_BY(m_lock) = 0;  // bytes queued for the file
  CaptureTotals m_totals KVT_GUARDED_BY(m_lock);
  // The packets left out since the last one queued: the next one queued says so.
  std::uint64_t m_gapPackets KVT_GUARDED_BY(m_lock) = 0;
  std::uint64_t m_gapBytes KVT_GUARDED_BY(m_lock) = 0;
  // The capture that Start made, for Stop: the host's thread's alone.
  OpenCapture* m_started = nullptr;
};
