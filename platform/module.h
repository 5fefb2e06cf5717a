// The plug-in's own module and the process's current directory.
#pragma once

namespace platform {

// The plug-in library's file name extension on this platform (".dll", ".so").
extern const char* const kLibraryExtension;

// The separator between a folder and a file name in a path ('\\' or '/').
extern const char kPathSeparator;

// Whether a module named fileName is loaded in the process, compared without case; loads
// nothing. POSIX: whether this library itself was loaded from a file of that name.
[[nodiscard]] bool moduleIsLoaded(const char* fileName);

// GetCurrentDirectoryA: the current directory with no separator appended. False, and out
// empty, when it does not fit in size characters with its terminator.
[[nodiscard]] bool currentDirectory(char* out, unsigned size);

// The full path of the running program's executable file. False when it does not fit.
[[nodiscard]] bool executablePath(char* out, unsigned size);

// True while the library is being unloaded because the process ends: on Windows the system has
// ended every other thread by then (and may have left their locks owned), so the unload must not
// wait for them. POSIX: false; exit() runs the unload with the threads still running, and every
// wait of the unload is cancelled or bounded. Any thread.
[[nodiscard]] bool processEnding();

}  // namespace platform
