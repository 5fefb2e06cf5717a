// POSIX view of the plug-in's own module, the current directory and dynamic loading.
#include "platform/module.h"

#include <dlfcn.h>
#include <strings.h>
#include <unistd.h>

#include <cstring>

#include "platform/testing.h"

namespace platform {

const char* const kLibraryExtension = ".so";
const char kPathSeparator = '/';

bool moduleIsLoaded(const char* fileName) {
  // The library's own file as loaded, found through one of its own functions: a copy under
  // another name then stays inert, as a renamed DLL does on Windows.
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&moduleIsLoaded), &info) == 0 || info.dli_fname == nullptr) {
    return false;
  }
  const char* slash = std::strrchr(info.dli_fname, '/');
  const char* base = slash != nullptr ? slash + 1 : info.dli_fname;
  return ::strcasecmp(base, fileName) == 0;
}

bool processEnding() { return false; }

bool currentDirectory(char* out, unsigned size) {
  if (size == 0) return false;
  if (::getcwd(out, size) == nullptr) {
    out[0] = '\0';
    return false;
  }
  return true;
}

bool executablePath(char* out, unsigned size) {
  if (size == 0) return false;
  ssize_t length = ::readlink("/proc/self/exe", out, size - 1);
  if (length <= 0 || static_cast<unsigned>(length) >= size - 1) {
    out[0] = '\0';
    return false;
  }
  out[length] = '\0';
  return true;
}

void* libraryLoad(const char* path) { return ::dlopen(path, RTLD_NOW | RTLD_LOCAL); }

void* librarySymbol(void* library, const char* name) { return ::dlsym(library, name); }

bool libraryUnload(void* library) { return ::dlclose(library) == 0; }

const char* libraryError() {
  const char* error = ::dlerror();
  return error != nullptr ? error : "unknown error";
}

}  // namespace platform
