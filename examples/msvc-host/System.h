// What the example host takes from the system, without a C runtime or the Windows SDK's headers:
// the kernel32 calls it makes (imported through a library that llvm-dlltool makes from
// kernel32.def), and the few helpers it builds on them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define KVT_WINAPI __stdcall

extern "C" {
__declspec(dllimport) void* KVT_WINAPI LoadLibraryA(const char* file);
__declspec(dllimport) void* KVT_WINAPI GetProcAddress(void* module, const char* name);
__declspec(dllimport) int KVT_WINAPI FreeLibrary(void* module);
__declspec(dllimport) void* KVT_WINAPI GetStdHandle(unsigned long which);
__declspec(dllimport) int KVT_WINAPI WriteFile(void* file, const void* data, unsigned long size,
                                               unsigned long* written, void* overlapped);
__declspec(dllimport) const char* KVT_WINAPI GetCommandLineA();
__declspec(dllimport) void* KVT_WINAPI
    CreateEventA(void* attributes, int manualReset, int initialState, const char* name);
__declspec(dllimport) int KVT_WINAPI SetEvent(void* event);
__declspec(dllimport) unsigned long KVT_WINAPI WaitForSingleObject(void* handle, unsigned long ms);
__declspec(dllimport) int KVT_WINAPI CloseHandle(void* handle);
__declspec(dllimport) unsigned long KVT_WINAPI GetCurrentThreadId();
__declspec(dllimport) __declspec(noreturn) void KVT_WINAPI ExitProcess(unsigned exitCode);
}

// Writes the text to standard output.
void Print(const char* text);
void PrintNumber(long long value);

// The index-th argument of the command line (0 the program), without quotes; false when there is
// none or it does not fit.
bool Argument(int index, char* out, size_t size);

// The leading decimal digits of text.
unsigned long ParseUnsigned(const char* text);
