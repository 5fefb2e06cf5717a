// The example host's helpers on the system's calls, and what the compiler expects of a C runtime
// that this program does not have.
#include "examples/msvc-host/System.h"

namespace {
constexpr unsigned long kStandardOutput = static_cast<unsigned long>(-11);
}  // namespace

void Print(const char* text) {
  size_t length = 0;
  while (text[length] != '\0') ++length;
  unsigned long written = 0;
  WriteFile(GetStdHandle(kStandardOutput), text, static_cast<unsigned long>(length), &written,
            nullptr);
}

void PrintNumber(long long value) {
  char digits[24];
  char* at = digits + sizeof digits;
  *--at = '\0';
  // Unsigned 32-bit steps: a 64-bit division would call the runtime on 32-bit Windows.
  bool negative = value < 0;
  unsigned long rest = static_cast<unsigned long>(negative ? -value : value);
  do {
    *--at = static_cast<char>('0' + rest % 10);
    rest /= 10;
  } while (rest != 0);
  if (negative) *--at = '-';
  Print(at);
}

bool Argument(int index, char* out, size_t size) {
  const char* at = GetCommandLineA();
  for (int i = 0;; ++i) {
    while (*at == ' ' || *at == '\t') ++at;
    if (*at == '\0') return false;
    size_t length = 0;
    bool quoted = false;
    for (; *at != '\0' && (quoted || (*at != ' ' && *at != '\t')); ++at) {
      if (*at == '"') {
        quoted = !quoted;
      } else if (i == index) {
        if (length + 1 >= size) return false;
        out[length++] = *at;
      }
    }
    if (i == index) {
      out[length] = '\0';
      return true;
    }
  }
}

unsigned long ParseUnsigned(const char* text) {
  unsigned long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text)
    value = value * 10 + static_cast<unsigned long>(*text - '0');
  return value;
}

// What the compiler may call or name without a runtime. The program is compiled freestanding, so
// these loops stay loops instead of becoming calls of themselves.
extern "C" {
void* memset(void* target, int value, size_t size) {
  unsigned char* bytes = static_cast<unsigned char*>(target);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(value);
  return target;
}

void* memcpy(void* target, const void* source, size_t size) {
  unsigned char* to = static_cast<unsigned char*>(target);
  const unsigned char* from = static_cast<const unsigned char*>(source);
  for (size_t i = 0; i < size; ++i) to[i] = from[i];
  return target;
}

// The slots of MeasureSink's pure operations in its own table; never called, since only the
// derived sink's table is ever used.
int __cdecl _purecall() {  // NOLINT(readability-identifier-naming): the name the compiler uses
  ExitProcess(3);
}

// Marks a program that uses floating point, for the runtime it does not have.
int _fltused = 0;  // NOLINT(readability-identifier-naming): the name the compiler uses
}
