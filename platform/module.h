// The plug-in's own module, the process's current directory, and loading libraries by path.
#pragma once

namespace platform {

// The plug-in library's file name extension on this platform (".dll", ".so").
extern const char* const kLibraryExtension;

// The separator between a folder and a file name in a path ('\\' or '/').
extern const char kPathSeparator;

// Whether a module named fileName is loaded in the process, compared without case; loads
// nothing. POSIX: whether this library itself was loaded from a file of that name.
bool moduleIsLoaded(const char* fileName);

// GetCurrentDirectoryA: the current directory with no separator appended. False, and out
// empty, when it does not fit in size characters with its terminator.
bool currentDirectory(char* out, unsigned size);

// The full path of the running program's executable file. False when it does not fit.
bool executablePath(char* out, unsigned size);

// Loads a library by path like a host does; null on failure. For hosts and tests.
void* libraryLoad(const char* path);
void* librarySymbol(void* library, const char* name);
bool libraryUnload(void* library);
// A readable reason for the last failure of libraryLoad or librarySymbol.
const char* libraryError();

}  // namespace platform
