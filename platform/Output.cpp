// The messages' formatting and the count of those left out, the same on every platform.
#include "platform/output.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace platform {

// The platform's own write of the whole text, or nothing (posix/output.cpp, win32/output.cpp).
bool writeWhole(StandardStream stream, const char* text, std::size_t length);

namespace {
std::atomic<std::uint64_t> g_leftOut{0};
}  // namespace

bool standardWrite(StandardStream stream, const char* text, std::size_t length) {
  if (length == 0 || writeWhole(stream, text, length)) return true;
  g_leftOut.fetch_add(1);
  return false;
}

bool standardPrint(StandardStream stream, const char* format, ...) {
  char text[1024];
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  if (length < 0) return false;
  return standardWrite(stream, text, std::strlen(text));
}

std::uint64_t standardWritesLeftOut() { return g_leftOut.load(); }

}  // namespace platform
