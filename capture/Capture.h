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

#include <cstdint>
#include <string>

#include "platform/socket.h"
#include "wire/SocketRoutines.h"

// Threads: start and stop on the host's thread at load and unload; the taps on whichever thread
// made the socket call, several at once; and the capture's own thread, which writes the file.
// One lock of its own guards the queue and the connections' records; a tap holds it only to copy
// one packet into the queue, and it is taken after any other lock of the library. No file write
// happens under it, and the taps never wait for the file: a target that takes nothing costs the
// channels nothing, its packets are left out and counted.
//
// What the queue holds at most: two halves, one that the taps fill while the capture's thread
// writes the other.
constexpr std::uint32_t CAPTURE_QUEUE_BYTES = 8u << 20;

// How long CaptureStop lets a target that takes nothing hold up the end of the file; what is
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

// Makes room among the earlier files, opens the new file, writes its start and starts the
// capture's thread. False, with one line on standard error, when the file cannot be opened or
// written (measuring goes on without a capture). Host's thread, at load.
[[nodiscard]] bool CaptureStart(const CaptureSettings& settings);

// Ends the capture: no packet is taken from now on, what is queued is written (within the
// bounds above) with the count of packets left out, the file is closed and the thread ends. A
// failure of the file on the way is reported here, once, on standard error: the capture's thread
// prints nothing, so that a host's full standard error cannot hold it. Host's thread, at unload;
// safe while other threads still tap.
void CaptureStop();

// True while the capture takes packets: from CaptureStart until its file reaches the limit,
// fails, or CaptureStop.
[[nodiscard]] bool CaptureOn();

// The counts of the capture running, or of the last one once stopped.
struct CaptureTotals {
  std::uint64_t packets = 0;         // queued for the file
  std::uint64_t droppedPackets = 0;  // left out because the queue was full
  std::uint64_t droppedBytes = 0;    // their payload
  std::uint64_t writtenBytes = 0;    // the file's size
  std::uint64_t unwrittenBytes = 0;  // queued but never written: the target stalled at the stop
};
[[nodiscard]] CaptureTotals CaptureCounts();

// The tap that feeds the capture, for the socket routines (InstallSocketTap). It stays valid for
// the library's life and does nothing while no capture runs.
const SocketTap& CaptureSocketTap();

// The tap's parts, each called right after the socket call it records, from whichever thread
// made it. Opened: a connection the plug-in made (pluginConnected) or accepted, shown as a
// handshake. Sent and Received: the bytes one call moved; a receive of 0 bytes is the console's
// FIN. Closed: the plug-in's FIN, and the end of the connection's record. Each copies into the
// queue and returns; none waits for the file.
void CaptureOpened(platform::SocketHandle socket, bool pluginConnected);
void CaptureSent(platform::SocketHandle socket, const void* data, int length);
void CaptureReceived(platform::SocketHandle socket, const void* data, int length);
void CaptureClosed(platform::SocketHandle socket);
