// The plug-in's own capture of both channels: what it sends and receives, as it saw it, written
// as loopback TCP traffic to a pcapng file that Wireshark opens. Off unless the settings file or
// the environment names a file.
#pragma once

#include <cstdint>
#include <string>

#include "platform/socket.h"
#include "wire/SocketRoutines.h"

// Threads: start and stop on the host's thread at load and unload; the taps on whichever thread
// made the socket call, several at once. One lock of its own guards the file and the connections'
// records; it is held for one record's write and taken after any other lock of the library. The
// capture never calls out and never waits but for the file's own writes; a file that fails only
// ends the capture.
//
// Where the capture goes and how large it may grow; path "" is no capture.
struct CaptureSettings {
  std::string path;
  std::uint64_t limitBytes = 0;
  std::string comment;  // the plug-in's version and the settings in force, for the file's start
};

// Opens the file and writes its start; false, with one line on standard error, when it cannot be
// opened (measuring goes on without a capture). Host's thread, at load.
[[nodiscard]] bool CaptureStart(const CaptureSettings& settings);

// Closes the file; later taps do nothing. Host's thread, at unload; safe while other threads
// still tap.
void CaptureStop();

// True while a capture file is open.
[[nodiscard]] bool CaptureOn();

// The tap that feeds the capture, for the socket routines (InstallSocketTap). It stays valid for
// the library's life and does nothing while no file is open.
const SocketTap& CaptureSocketTap();

// The tap's parts, each called right after the socket call it records, from whichever thread
// made it. Opened: a connection the plug-in made (pluginConnected) or accepted, shown as a
// handshake. Sent and Received: the bytes one call moved; a receive of 0 bytes is the console's
// FIN. Closed: the plug-in's FIN, and the end of the connection's record.
void CaptureOpened(platform::SocketHandle socket, bool pluginConnected);
void CaptureSent(platform::SocketHandle socket, const void* data, int length);
void CaptureReceived(platform::SocketHandle socket, const void* data, int length);
void CaptureClosed(platform::SocketHandle socket);
