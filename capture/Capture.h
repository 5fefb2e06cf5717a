// The plug-in's own capture of both channels: what it sends and receives, as it saw it, written
// as loopback TCP traffic to a pcapng file that Wireshark opens. Off unless the settings file or
// the environment names a file.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/socket.h"

// Where the capture goes and how large it may grow; path "" is no capture.
struct CaptureSettings {
  std::string path;
  std::uint64_t limitBytes = 0;
  std::string comment;  // the plug-in's version and the settings in force, for the file's start
};

// The [Capture] section of the settings file at settingsPath (File, LimitMB; 100 MB when the
// limit is missing or not a positive number), the file replaced by the environment variable
// KVT_CAPTURE when that is set and not empty.
CaptureSettings ReadCaptureSettings(const char* settingsPath);
constexpr std::uint32_t CAPTURE_DEFAULT_LIMIT_MB = 100;

// Set while a capture file is open. The taps test it before anything else, so a capture that is
// off costs one relaxed load per send or receive.
extern std::atomic<bool> g_captureOn;
inline bool CaptureOn() { return g_captureOn.load(std::memory_order_relaxed); }

// Opens the file and writes its start; false, with one line on standard error, when it cannot be
// opened (measuring goes on without a capture). Host's thread, at load.
bool CaptureStart(const CaptureSettings& settings);

// Closes the file; later taps do nothing. Host's thread, at unload; safe while other threads
// still tap.
void CaptureStop();

// The taps, each called right after the socket call it records, from whichever thread made it.
// Opened: a connection the plug-in made (pluginConnected) or accepted, shown as a handshake.
// Sent and Received: the bytes one call moved; a receive of 0 bytes is the console's FIN.
// Closed: the plug-in's FIN, and the end of the connection's record.
void CaptureOpened(platform::SocketHandle socket, bool pluginConnected);
void CaptureSent(platform::SocketHandle socket, const void* data, int length);
void CaptureReceived(platform::SocketHandle socket, const void* data, int length);
void CaptureClosed(platform::SocketHandle socket);
